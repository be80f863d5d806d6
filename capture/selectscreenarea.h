#pragma once

#include "capture/screenarea.h"
#include "capture/selectiondecorations.h"

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <memory>

namespace BL::Capture {
class CHandOffMarker;
} // namespace BL::Capture

// Full-screen selector on which the user drags the rectangle to capture. It lives inside a
// translucent host window (see capture/overlayhost.h), so the live desktop shows through; four
// bands dim everything outside the rectangle. On release (or Enter, through selectWholeArea) the
// host is taken out of sight and the global rectangle is handed to processSelectedArea.
class CSelectScreenArea : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CSelectScreenArea)

public:
    explicit CSelectScreenArea(QWidget* parent, Qt::WindowFlags flags = {});
    ~CSelectScreenArea() override;

    void setDimColor(const QColor& color);
    QColor dimColor() const { return m_dimColor; }

    // Forgets any drag, optionally emits canceled, then closes the selector.
    void cancelSelection(bool emitCanceled);
    // Selects the selector's whole area (the whole screen, as it fills its host at the origin).
    void selectWholeArea();

signals:
    void areaSelected(const QRect& rect); // in the selector's own coordinates
    // A picture of a valid area is about to be taken: what does not need the picture can start.
    void aboutToGrab();
    void canceled();
    void hidden();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    // Called once the host is out of sight, with the selection in global coordinates.
    virtual void processSelectedArea(const QRect& globalRect) = 0;
    // Whether the host is hidden before the grab; otherwise it is only moved out of sight, still
    // mapped and ready to be shown again.
    virtual bool hidesHostForGrab() const { return true; }

    void setHintSuffix(const QString& suffix);
    // Hides the hint, crosshair, frame and bands and repaints.
    void hideDecorations();
    // Brings the host back to where it was before the hand-off moved it out of sight.
    void restoreHostPosition();

private:
    void arrangeOnShow();
    void handOff(const QRect& rect);
    void prepareForGrab();
    QPoint clamped(const QPoint& pos) const;

    QColor m_dimColor;
    std::unique_ptr<BL::Capture::CSelectionDecorations> m_decorations;
    BL::Capture::CHandOffMarker* m_marker = nullptr; // up with the overlay; watched while it is handed over
    bool m_pressed = false;
    QPoint m_anchorPoint; // (0,0) stands for "no drag in progress"
    QPoint m_endPoint;
    QPoint m_hostPosBeforeGrab;
};
