#pragma once

#include <QColor>
#include <QFont>
#include <QPointF>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QVector>
#include <array>

class QPainter;

namespace BL::Capture {

// The five colours of the mark-up, chosen with the keys 1 to 5. None of them is translucent, so a
// redaction replaces the pixels beneath it outright.
const std::array<QColor, 5>& markupPalette();

// How a new mark looks: its colour, and the picture's pixels per logical pixel, so that a line is
// as thick on screen whatever the resolution of the picture.
struct SMarkupStyle
{
    QColor color;
    qreal scale = 1;
};

// The picture pixels near the segment a–b: rectangles along it, each grown by `halfWidth`, so that
// a long diagonal repaints a band rather than its whole bounding box.
QRegion segmentRegion(const QPointF& a, const QPointF& b, qreal halfWidth);

// One mark on the picture, in picture pixels. Marks never change once made: a new look is a new
// mark, so the list of marks is the whole history of the composition.
class CAbstractMarkupItem
{
public:
    CAbstractMarkupItem() = default;
    virtual ~CAbstractMarkupItem() = default;
    CAbstractMarkupItem(const CAbstractMarkupItem&) = delete;
    CAbstractMarkupItem& operator=(const CAbstractMarkupItem&) = delete;

    virtual void paint(QPainter& painter) const = 0;
    // Every picture pixel that paint() may touch.
    virtual QRegion region() const = 0;
};

// A solid box of one colour. It is drawn without smoothing and without blending, so every pixel
// inside the box is the colour and nothing of what was there remains.
class CRedactMark final : public CAbstractMarkupItem
{
public:
    CRedactMark(const QRect& rect, const QColor& color);
    void paint(QPainter& painter) const override;
    QRegion region() const override { return m_rect; }
    QRect rect() const { return m_rect; }

private:
    QRect m_rect;
    QColor m_color;
};

// The outline of a box, drawn inside the dragged rectangle.
class CBoxMark final : public CAbstractMarkupItem
{
public:
    CBoxMark(const QRect& rect, const SMarkupStyle& style);
    void paint(QPainter& painter) const override;
    QRegion region() const override;

private:
    QRect m_rect;
    QColor m_color;
    qreal m_width;
};

// A line with a filled head at its end.
class CArrowMark final : public CAbstractMarkupItem
{
public:
    CArrowMark(const QPointF& from, const QPointF& to, const SMarkupStyle& style);
    void paint(QPainter& painter) const override;
    QRegion region() const override;

private:
    QPointF m_from;
    QPointF m_to;
    QColor m_color;
    qreal m_width;
};

// A broad stroke multiplied into the picture, so that dark text under it stays readable. The
// stroke is painted as one path: where it crosses itself it is not darkened twice.
class CHighlightMark final : public CAbstractMarkupItem
{
public:
    CHighlightMark(const QVector<QPointF>& points, const SMarkupStyle& style);
    void paint(QPainter& painter) const override;
    QRegion region() const override;

    static qreal widthFor(const SMarkupStyle& style);

private:
    QVector<QPointF> m_points;
    QColor m_color;
    qreal m_width;
};

// One line of text; `topLeft` is the top of its line box.
class CTextMark final : public CAbstractMarkupItem
{
public:
    CTextMark(const QPoint& topLeft, const QString& text, const SMarkupStyle& style);
    void paint(QPainter& painter) const override;
    QRegion region() const override;
    // Where the caret stands after the last character, from the top to the bottom of the line.
    QRect caretRect() const;

    static QFont fontFor(const SMarkupStyle& style);

private:
    QPoint m_topLeft;
    QString m_text;
    QColor m_color;
    QFont m_font;
};

} // namespace BL::Capture
