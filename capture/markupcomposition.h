#pragma once

#include "capture/markuptools.h"

#include <QImage>
#include <QRegion>
#include <vector>

namespace BL::Capture {

// The picture as it will leave the machine: the original pixels with the marks painted into
// them, in order. There is one picture and no layer: a redaction overwrites the pixels of the
// very image that is encoded. Undone marks are kept for redo until a new mark replaces them.
class CMarkupComposition
{
public:
    // Starts afresh from `original` (device pixels, with its device pixel ratio): no marks, nothing
    // to undo or redo. The picture is a new image holding the original's pixels and nothing else
    // (no text keys).
    void reset(const QImage& original);

    const QImage& picture() const { return m_picture; }
    const QImage& original() const { return m_original; }
    int markCount() const { return int(m_applied); }
    bool canUndo() const { return m_applied > 0; }
    bool canRedo() const { return m_applied < m_marks.size(); }

    // Each answers the picture pixels it changed; nothing when there was nothing to do.
    QRegion add(MarkupItemPtr mark);
    QRegion undo();
    QRegion redo();

private:
    void paintMark(const CAbstractMarkupItem& mark);

    QImage m_original;
    QImage m_picture;
    std::vector<MarkupItemPtr> m_marks;
    size_t m_applied = 0;
};

} // namespace BL::Capture
