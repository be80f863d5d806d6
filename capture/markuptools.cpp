#include "capture/markuptools.h"

#include "capture/screenarea.h"

#include <QKeyEvent>
#include <QPainter>

namespace BL::Capture {

namespace {

QRegion regionOf(const MarkupItemPtr& item)
{
    return item ? item->region() : QRegion();
}

} // namespace

bool CAbstractMarkupTool::keyPress(const QKeyEvent&, QRegion&)
{
    return false;
}

void CAbstractMarkupTool::paintDecorations(QPainter&) const {}

QRegion CAbstractDragTool::press(const QPoint& pos, const SMarkupStyle& style)
{
    const QRegion changed = cancel();
    m_active = true;
    m_start = pos;
    m_style = style;
    m_current = makeMark(pos, pos, style);
    return changed + regionOf(m_current);
}

QRegion CAbstractDragTool::move(const QPoint& pos)
{
    if (!m_active)
        return {};
    MarkupItemPtr next = makeMark(m_start, pos, m_style);
    const QRegion changed = changedBetween(m_current, next);
    m_current = std::move(next);
    return changed;
}

QRegion CAbstractDragTool::release(const QPoint& pos)
{
    const QRegion changed = move(pos);
    setFinished(std::move(m_current));
    m_current.reset();
    m_active = false;
    return changed;
}

QRegion CAbstractDragTool::cancel()
{
    const QRegion changed = regionOf(m_current);
    m_current.reset();
    m_active = false;
    return changed;
}

QRegion CAbstractDragTool::changedBetween(const MarkupItemPtr& before, const MarkupItemPtr& after) const
{
    return regionOf(before) + regionOf(after);
}

MarkupItemPtr CRedactTool::makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const
{
    return std::make_shared<CRedactMark>(rectFromCorners(from, to), style.color);
}

QRegion CRedactTool::changedBetween(const MarkupItemPtr& before, const MarkupItemPtr& after) const
{
    return regionOf(before).xored(regionOf(after));
}

MarkupItemPtr CBoxTool::makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const
{
    return std::make_shared<CBoxMark>(rectFromCorners(from, to), style);
}

MarkupItemPtr CArrowTool::makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const
{
    // A click is no arrow: it would be a head pointing nowhere.
    if ((to - from).manhattanLength() < 2)
        return nullptr;
    // Through the pixels' centres, so that the arrow starts and ends on the pixels pointed at.
    const QPointF centre(0.5, 0.5);
    return std::make_shared<CArrowMark>(QPointF(from) + centre, QPointF(to) + centre, style);
}

QRegion CHighlighterTool::press(const QPoint& pos, const SMarkupStyle& style)
{
    const QRegion changed = cancel();
    m_style = style;
    m_points = {QPointF(pos) + QPointF(0.5, 0.5)};
    m_current = std::make_shared<CHighlightMark>(m_points, m_style);
    return changed + m_current->region();
}

QRegion CHighlighterTool::move(const QPoint& pos)
{
    if (m_points.isEmpty())
        return {};
    const QPointF point = QPointF(pos) + QPointF(0.5, 0.5);
    if (point == m_points.last())
        return {};
    m_points.append(point);
    m_current = std::make_shared<CHighlightMark>(m_points, m_style);
    // Only the new segment, and the join at its start, look different.
    return segmentRegion(m_points[m_points.size() - 2], point, CHighlightMark::widthFor(m_style) / 2);
}

QRegion CHighlighterTool::release(const QPoint& pos)
{
    const QRegion changed = move(pos);
    setFinished(std::move(m_current));
    m_current.reset();
    m_points.clear();
    return changed;
}

QRegion CHighlighterTool::cancel()
{
    const QRegion changed = regionOf(m_current);
    m_current.reset();
    m_points.clear();
    return changed;
}

QRegion CTextTool::start(const QPoint& pos, const SMarkupStyle& style)
{
    const QRegion changed = finish();
    m_editing = true;
    m_pos = pos;
    m_style = style;
    m_text.clear();
    return changed + current().region();
}

QRegion CTextTool::press(const QPoint& pos, const SMarkupStyle& style)
{
    return start(pos, style);
}

QRegion CTextTool::finish()
{
    if (!m_editing)
        return {};
    const QRegion changed = current().region();
    if (!m_text.isEmpty())
        setFinished(std::make_shared<CTextMark>(m_pos, m_text, m_style));
    m_editing = false;
    m_text.clear();
    return changed;
}

QRegion CTextTool::cancel()
{
    if (!m_editing)
        return {};
    const QRegion changed = current().region();
    m_editing = false;
    m_text.clear();
    return changed;
}

bool CTextTool::keyPress(const QKeyEvent& event, QRegion& changed)
{
    if (!m_editing)
        return false;
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        changed += finish();
        return true;
    case Qt::Key_Escape:
        changed += cancel();
        return true;
    case Qt::Key_Backspace:
        changed += setText(m_text.left(m_text.size() - 1));
        return true;
    default:
        break;
    }
    // Shortcuts stay shortcuts; what types a character is text.
    if (event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const QString typed = event.text();
    if (typed.isEmpty() || !typed.at(0).isPrint())
        return false;
    changed += setText(m_text + typed);
    return true;
}

QRegion CTextTool::setText(const QString& text)
{
    const QRegion before = current().region();
    m_text = text;
    return before + current().region();
}

CTextMark CTextTool::current() const
{
    return CTextMark(m_pos, m_text, m_style);
}

MarkupItemPtr CTextTool::preview() const
{
    if (!m_editing || m_text.isEmpty())
        return nullptr;
    return std::make_shared<CTextMark>(m_pos, m_text, m_style);
}

void CTextTool::paintDecorations(QPainter& painter) const
{
    if (!m_editing)
        return;
    painter.fillRect(current().caretRect(), m_style.color);
}

} // namespace BL::Capture
