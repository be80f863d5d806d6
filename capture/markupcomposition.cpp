#include "capture/markupcomposition.h"

#include <QPainter>

namespace BL::Capture {

namespace {

// A fresh image with only the pixels of `original`: a copy would carry its text keys along.
QImage pixelsOnly(const QImage& original)
{
    if (original.isNull())
        return {};
    QImage picture(original.size(),
                   original.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    {
        // Source and target rectangles in pixels: pixel for pixel, whatever the original's ratio.
        QPainter painter(&picture);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QRect(QPoint(0, 0), original.size()), original, original.rect());
    }
    picture.setDevicePixelRatio(original.devicePixelRatio());
    return picture;
}

} // namespace

void CMarkupComposition::reset(const QImage& original)
{
    m_original = pixelsOnly(original);
    m_picture = m_original.copy();
    m_marks.clear();
    m_applied = 0;
}

void CMarkupComposition::paintMark(const CAbstractMarkupItem& mark)
{
    // One painter per mark, whether the mark is new or painted again after an undo: the same
    // steps give the same pixels.
    // The marks are in device pixels: paint through a view of the same pixels at ratio 1, so that
    // the picture's own ratio does not scale them.
    QImage pixels(m_picture.bits(), m_picture.width(), m_picture.height(), m_picture.bytesPerLine(),
                  m_picture.format());
    QPainter painter(&pixels);
    mark.paint(painter);
}

QRegion CMarkupComposition::add(MarkupItemPtr mark)
{
    if (!mark || m_picture.isNull())
        return {};
    m_marks.resize(m_applied);
    m_marks.push_back(std::move(mark));
    return redo();
}

QRegion CMarkupComposition::undo()
{
    if (!canUndo())
        return {};
    --m_applied;
    // Painted again from the original, not rubbed out: what was under the mark comes back exactly.
    m_picture = m_original.copy();
    for (size_t i = 0; i < m_applied; ++i)
        paintMark(*m_marks[i]);
    return m_marks[m_applied]->region();
}

QRegion CMarkupComposition::redo()
{
    if (!canRedo())
        return {};
    const CAbstractMarkupItem& mark = *m_marks[m_applied++];
    paintMark(mark);
    return mark.region();
}

} // namespace BL::Capture
