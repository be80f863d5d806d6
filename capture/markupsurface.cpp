#include "capture/markupsurface.h"

#include "api/pngencoder.h"
#include "capture/frozenscreen.h"
#include "capture/logging.h"
#include "capture/markuptoolstrip.h"

#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace BL::Capture {

namespace {

constexpr int kStripGap = 6;
constexpr Qt::KeyboardModifiers kCommandModifiers = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

// The picture itself on the clipboard, encoded once as PNG (as the upload encodes it) for
// whoever pastes it; Qt programs get the image too.
void putOnClipboard(const QImage& picture)
{
    const QByteArray png = BL::Api::encodeFastPng(picture);
    if (png.isEmpty()) {
        qCWarning(lcCapture) << "Could not encode the marked picture for the clipboard";
        return;
    }
    auto* mime = new QMimeData;
    mime->setData(QStringLiteral("image/png"), png);
    mime->setImageData(picture);
    QGuiApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
}

} // namespace

CMarkupSurface::CMarkupSurface(QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), m_dimColor(0, 0, 0, 110)
{
    setObjectName(QStringLiteral("markupSurface"));
    setFocusPolicy(Qt::StrongFocus);
    m_tools[size_t(EMarkupTool::Redact)] = std::make_unique<CRedactTool>();
    m_tools[size_t(EMarkupTool::Box)] = std::make_unique<CBoxTool>();
    m_tools[size_t(EMarkupTool::Arrow)] = std::make_unique<CArrowTool>();
    m_tools[size_t(EMarkupTool::Text)] = std::make_unique<CTextTool>();
    m_tools[size_t(EMarkupTool::Highlighter)] = std::make_unique<CHighlighterTool>();

    m_strip = new CMarkupToolStrip(this);
    m_strip->setCurrent(m_tool, m_colorIndex);
    connect(m_strip, &CMarkupToolStrip::toolChosen, this, &CMarkupSurface::setTool);
    connect(m_strip, &CMarkupToolStrip::colorChosen, this, &CMarkupSurface::setColorIndex);
    updateCursor();
}

CMarkupSurface::~CMarkupSurface() = default;

void CMarkupSurface::setPicture(const QImage& picture, const QPoint& topLeft)
{
    for (const auto& tool : m_tools)
        tool->cancel();
    m_dragging = false;
    m_composition.reset(picture);
    m_topLeft = topLeft;
    m_done = picture.isNull();
    placeStrip();
    update();
}

void CMarkupSurface::setDimColor(const QColor& color)
{
    m_dimColor = color;
    update();
}

QRectF CMarkupSurface::pictureRect() const
{
    const QImage& picture = m_composition.picture();
    if (picture.isNull())
        return {};
    return QRectF(m_topLeft, QSizeF(picture.size()) / picture.devicePixelRatio());
}

void CMarkupSurface::setTool(EMarkupTool tool)
{
    if (tool == m_tool)
        return;
    const QRegion changed = endMarkInProgress();
    m_tool = tool;
    m_strip->setCurrent(m_tool, m_colorIndex);
    updateCursor();
    repaintPicturePixels(changed);
}

void CMarkupSurface::setColorIndex(int index)
{
    if (index < 0 || index >= int(markupPalette().size()))
        return;
    m_colorIndex = index;
    m_strip->setCurrent(m_tool, m_colorIndex);
}

CAbstractMarkupTool& CMarkupSurface::currentTool() const
{
    return *m_tools[size_t(m_tool)];
}

SMarkupStyle CMarkupSurface::style() const
{
    return {markupPalette()[size_t(m_colorIndex)], m_composition.picture().devicePixelRatio()};
}

QPoint CMarkupSurface::toPicture(const QPointF& pos) const
{
    const QImage& picture = m_composition.picture();
    const QPointF pixel = (pos - m_topLeft) * picture.devicePixelRatio();
    return QPoint(std::clamp(int(std::floor(pixel.x())), 0, picture.width() - 1),
                  std::clamp(int(std::floor(pixel.y())), 0, picture.height() - 1));
}

void CMarkupSurface::repaintPicturePixels(const QRegion& pixels)
{
    const qreal ratio = m_composition.picture().devicePixelRatio();
    QRegion logical;
    for (const QRect& rect : pixels) {
        const QRectF shown(m_topLeft + QPointF(rect.topLeft()) / ratio, QSizeF(rect.size()) / ratio);
        // A pixel more on each side: a scaled picture blends its neighbours into the edge.
        logical += shown.toAlignedRect().adjusted(-1, -1, 1, 1);
    }
    if (!logical.isEmpty())
        update(logical);
}

QRegion CMarkupSurface::endMarkInProgress()
{
    // A text in progress is kept; a drag in progress is dropped.
    CAbstractMarkupTool& tool = currentTool();
    QRegion changed = tool.finish();
    if (MarkupItemPtr item = tool.takeFinished())
        changed += m_composition.add(std::move(item));
    changed += tool.cancel();
    m_dragging = false;
    return changed;
}

void CMarkupSurface::afterToolStep(const QRegion& changed)
{
    QRegion all = changed;
    if (MarkupItemPtr item = currentTool().takeFinished())
        all += m_composition.add(std::move(item));
    repaintPicturePixels(all);
}

void CMarkupSurface::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QRectF shown = pictureRect();
    for (const QRect& rect : event->region().subtracted(shown.toAlignedRect())) {
        // Drawn straight to the screen, the dim colour must be blended here.
        const bool blended = paintFrozenRoot(painter, rect, QRect(mapToGlobal(rect.topLeft()), rect.size()));
        painter.setCompositionMode(blended ? QPainter::CompositionMode_SourceOver
                                           : QPainter::CompositionMode_Source);
        painter.fillRect(rect, m_dimColor);
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (shown.isEmpty())
        return;
    painter.drawImage(shown, m_composition.picture());

    const CAbstractMarkupTool& tool = currentTool();
    if (!tool.isActive())
        return;
    // The mark in progress over the composition, as it will be painted into it.
    const qreal ratio = m_composition.picture().devicePixelRatio();
    painter.setClipRect(shown);
    painter.translate(m_topLeft);
    painter.scale(1 / ratio, 1 / ratio);
    if (const MarkupItemPtr preview = tool.preview())
        preview->paint(painter);
    tool.paintDecorations(painter);
}

void CMarkupSurface::keyPressEvent(QKeyEvent* event)
{
    // Every key stops here: none may reach the window beneath and act on a selector.
    event->accept();
    if (m_done)
        return;
    // A held Enter or Escape ends the text or leaves, once: its repeats must not go on to share
    // or to leave.
    if (event->isAutoRepeat() &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape))
        return;
    CAbstractMarkupTool& tool = currentTool();
    if (tool.wantsKeys()) {
        QRegion changed;
        if (tool.keyPress(*event, changed)) {
            afterToolStep(changed);
            return;
        }
    }
    if (editKey(*event))
        return;

    const Qt::KeyboardModifiers modifiers = event->modifiers() & kCommandModifiers;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!modifiers)
            finish(EAction::Share);
        break;
    case Qt::Key_Escape:
        finish(EAction::Cancel);
        break;
    case Qt::Key_S:
        if (modifiers == Qt::ControlModifier)
            finish(EAction::Save);
        break;
    case Qt::Key_C:
        if (modifiers == Qt::ControlModifier)
            finish(EAction::Copy);
        break;
    default:
        break;
    }
}

bool CMarkupSurface::editKey(const QKeyEvent& event)
{
    const Qt::KeyboardModifiers modifiers = event.modifiers() & kCommandModifiers;
    const int key = event.key();
    if (key == Qt::Key_Z && modifiers == Qt::ControlModifier) {
        CAbstractMarkupTool& tool = currentTool();
        // A mark in progress is the last change: it goes first.
        if (tool.isActive()) {
            m_dragging = false;
            repaintPicturePixels(tool.cancel());
        } else if (event.modifiers() & Qt::ShiftModifier) {
            repaintPicturePixels(m_composition.redo());
        } else {
            repaintPicturePixels(m_composition.undo());
        }
        return true;
    }
    if (modifiers)
        return false;
    if (key >= Qt::Key_1 && key <= Qt::Key_5) {
        setColorIndex(key - Qt::Key_1);
        return true;
    }
    for (const SMarkupToolKey& toolKey : kMarkupToolKeys) {
        if (toolKey.key != key)
            continue;
        setTool(toolKey.tool);
        // Typing can start at once where the pointer is; a click puts the caret elsewhere.
        const QPointF pointer = mapFromGlobal(QCursor::pos());
        if (m_tool == EMarkupTool::Text && pictureRect().contains(pointer) && !m_dragging)
            repaintPicturePixels(static_cast<CTextTool&>(currentTool()).start(toPicture(pointer), style()));
        return true;
    }
    return false;
}

void CMarkupSurface::finish(EAction action)
{
    if (m_done)
        return;
    repaintPicturePixels(endMarkInProgress());
    m_done = true;

    const QImage picture = action == EAction::Cancel ? QImage() : m_composition.picture();
    qCDebug(lcCapture) << "Mark-up left with" << action << "after" << m_composition.markCount() << "marks";
    if (action == EAction::Copy)
        putOnClipboard(picture);
    emit finished(action, picture);
}

void CMarkupSurface::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    if (m_done || event->button() != Qt::LeftButton || !pictureRect().contains(event->localPos()))
        return;
    m_dragging = true;
    afterToolStep(currentTool().press(toPicture(event->localPos()), style()));
}

void CMarkupSurface::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (m_dragging)
        afterToolStep(currentTool().move(toPicture(event->localPos())));
}

void CMarkupSurface::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (!m_dragging || event->button() != Qt::LeftButton)
        return;
    m_dragging = false;
    afterToolStep(currentTool().release(toPicture(event->localPos())));
}

void CMarkupSurface::placeStrip()
{
    const QSize size = m_strip->sizeHint();
    m_strip->resize(size);
    const QRect shown = pictureRect().toAlignedRect();
    // Right-aligned under the picture; above it when there is no room below; inside its bottom
    // edge when the picture fills the surface.
    const int x = std::clamp(shown.right() + 1 - size.width(), 0, std::max(0, width() - size.width()));
    int y = shown.bottom() + 1 + kStripGap;
    if (y + size.height() > height())
        y = shown.top() - kStripGap - size.height();
    if (y < 0)
        y = std::clamp(shown.bottom() + 1 - kStripGap - size.height(), 0,
                       std::max(0, height() - size.height()));
    m_strip->move(x, y);
    m_strip->raise();
}

void CMarkupSurface::updateCursor()
{
    setCursor(m_tool == EMarkupTool::Text ? Qt::IBeamCursor : Qt::CrossCursor);
}

void CMarkupSurface::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeStrip();
}

void CMarkupSurface::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    placeStrip();
    setFocus(Qt::OtherFocusReason);
    // A host window shown with the surface may take the focus for itself as it shows (the
    // overlay host does): take it back once the showing is over.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isVisible())
                setFocus(Qt::OtherFocusReason);
        },
        Qt::QueuedConnection);
}

void CMarkupSurface::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // A host window that takes the focus for itself when it is activated gives it back here.
    if (event->type() == QEvent::ActivationChange && isVisible() && isActiveWindow())
        setFocus(Qt::ActiveWindowFocusReason);
}

} // namespace BL::Capture
