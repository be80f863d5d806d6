#include "capture/markupitems.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLineF>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

namespace BL::Capture {

namespace {

// Thickness of outlines and arrows, and of the highlighter, in logical pixels.
constexpr qreal kLineWidth = 3;
constexpr qreal kHighlightWidth = 18;
constexpr int kTextPixelSize = 20;
// Smoothing may reach a pixel past the geometry; regions keep this much room.
constexpr int kSmoothing = 2;

QRect grownRect(const QRectF& rect, qreal by)
{
    return rect.normalized().adjusted(-by, -by, by, by).toAlignedRect();
}

} // namespace

const std::array<QColor, 5>& markupPalette()
{
    static const std::array<QColor, 5> palette{QColor(0xe5, 0x39, 0x35), QColor(0xfd, 0xd8, 0x35),
                                               QColor(0x43, 0xa0, 0x47), QColor(0x1e, 0x88, 0xe5),
                                               QColor(0x00, 0x00, 0x00)};
    return palette;
}

QRegion segmentRegion(const QPointF& a, const QPointF& b, qreal halfWidth)
{
    const qreal length = QLineF(a, b).length();
    // At most 24 pieces: each rectangle of a repaint costs more than the pixels a finer cut saves.
    const qreal piece = std::max({qreal(8), 4 * halfWidth, length / 24});
    const int count = std::max(1, int(std::ceil(length / piece)));
    QRegion region;
    for (int i = 0; i < count; ++i) {
        const QPointF from = a + (b - a) * (qreal(i) / count);
        const QPointF to = a + (b - a) * (qreal(i + 1) / count);
        region += grownRect(QRectF(from, to), halfWidth + kSmoothing);
    }
    return region;
}

CRedactMark::CRedactMark(const QRect& rect, const QColor& color) : m_rect(rect), m_color(color)
{
    m_color.setAlpha(255);
}

void CRedactMark::paint(QPainter& painter) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(m_rect, m_color);
    painter.restore();
}

CBoxMark::CBoxMark(const QRect& rect, const SMarkupStyle& style)
    : m_rect(rect.normalized()), m_color(style.color), m_width(kLineWidth * style.scale)
{
}

void CBoxMark::paint(QPainter& painter) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_rect.width() <= 2 * m_width || m_rect.height() <= 2 * m_width) {
        // Too small for a hole: the outline fills it.
        painter.fillRect(m_rect, m_color);
    } else {
        // The pen is centred on the path: half a width in keeps the outline inside the rectangle.
        const qreal half = m_width / 2;
        painter.setPen(QPen(m_color, m_width, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(m_rect).adjusted(half, half, -half, -half));
    }
    painter.restore();
}

QRegion CBoxMark::region() const
{
    const int inset = int(std::ceil(m_width)) + kSmoothing;
    const QRect hole = m_rect.adjusted(inset, inset, -inset, -inset);
    return hole.isValid() ? QRegion(m_rect).subtracted(hole) : QRegion(m_rect);
}

CArrowMark::CArrowMark(const QPointF& from, const QPointF& to, const SMarkupStyle& style)
    : m_from(from), m_to(to), m_color(style.color), m_width(kLineWidth * style.scale)
{
}

void CArrowMark::paint(QPainter& painter) const
{
    const QLineF line(m_from, m_to);
    if (line.length() <= 0)
        return;
    const qreal headLength = std::min(5 * m_width, line.length());
    const QPointF unit = (m_to - m_from) / line.length();
    const QPointF normal(-unit.y(), unit.x());
    const QPointF base = m_to - unit * headLength;
    // The shaft stops inside the head, so its square end never shows beside the tip.
    const QPointF shaftEnd = m_to - unit * (headLength * 0.6);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_color, m_width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.drawLine(m_from, shaftEnd);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_color);
    painter.drawPolygon(QPolygonF(
        QVector<QPointF>{m_to, base + normal * (headLength / 2), base - normal * (headLength / 2)}));
    painter.restore();
}

QRegion CArrowMark::region() const
{
    const qreal headLength = 5 * m_width;
    return segmentRegion(m_from, m_to, m_width / 2) +
           grownRect(QRectF(m_to, m_to), headLength / 2 + headLength + kSmoothing);
}

CHighlightMark::CHighlightMark(const QVector<QPointF>& points, const SMarkupStyle& style)
    : m_points(points), m_color(style.color), m_width(widthFor(style))
{
    m_color.setAlpha(255);
}

qreal CHighlightMark::widthFor(const SMarkupStyle& style)
{
    return kHighlightWidth * style.scale;
}

void CHighlightMark::paint(QPainter& painter) const
{
    if (m_points.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Multiply);
    painter.setPen(QPen(m_color, m_width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (m_points.size() == 1) {
        painter.drawPoint(m_points.first());
    } else {
        QPainterPath path(m_points.first());
        for (int i = 1; i < m_points.size(); ++i)
            path.lineTo(m_points[i]);
        painter.drawPath(path);
    }
    painter.restore();
}

QRegion CHighlightMark::region() const
{
    QRectF bounds;
    for (const QPointF& point : m_points)
        bounds |= QRectF(point, QSizeF(0.001, 0.001));
    return grownRect(bounds, m_width / 2 + kSmoothing);
}

CTextMark::CTextMark(const QPoint& topLeft, const QString& text, const SMarkupStyle& style)
    : m_topLeft(topLeft), m_text(text), m_color(style.color), m_font(fontFor(style))
{
}

QFont CTextMark::fontFor(const SMarkupStyle& style)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(std::max(1, int(std::lround(kTextPixelSize * style.scale))));
    font.setBold(true);
    return font;
}

void CTextMark::paint(QPainter& painter) const
{
    if (m_text.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(m_font);
    painter.setPen(m_color);
    painter.drawText(m_topLeft + QPoint(0, QFontMetrics(m_font).ascent()), m_text);
    painter.restore();
}

QRect CTextMark::caretRect() const
{
    const QFontMetrics metrics(m_font);
    const int width = std::max(1, m_font.pixelSize() / 10);
    return QRect(m_topLeft + QPoint(metrics.horizontalAdvance(m_text), 0), QSize(width, metrics.height()));
}

QRegion CTextMark::region() const
{
    const QFontMetrics metrics(m_font);
    const QRect ink = metrics.boundingRect(m_text).translated(m_topLeft + QPoint(0, metrics.ascent()));
    const QRect line(m_topLeft, QSize(metrics.horizontalAdvance(m_text), metrics.height()));
    return grownRect(ink | line | caretRect(), kSmoothing);
}

} // namespace BL::Capture
