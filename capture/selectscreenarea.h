#pragma once

#include "capture/screenarea.h"
#include "capture/selectiondecorations.h"
#include "capture/windowpicker.h"

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <memory>
#include <optional>
#include <utility>

namespace BL::Capture {
class CHandOffMarker;
} // namespace BL::Capture

// Full-screen selector on which the user drags the rectangle to capture. It lives inside a
// translucent host window (see capture/overlayhost.h), so the live desktop shows through; four
// bands dim everything outside the rectangle. On release (or Enter, through selectWholeArea) the
// host is taken out of sight and the global rectangle is handed to processSelectedArea.
// Space switches to picking a whole window: the window under the crosshair is outlined, the
// rest dimmed, and a click (or Enter, through selectHoveredWindow) hands that window over.
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
    // Between dragging an area and picking a window. Where the desktop lists no windows the
    // hint says so instead, and the area mode stays. Each showing starts in the area mode.
    void toggleWindowMode();
    bool isWindowMode() const { return m_windowMode; }
    // Takes the window under the crosshair, if there is one.
    void selectHoveredWindow();
    // Whether the person held Shift as the selection was handed over: the picture is to be
    // marked up before it goes anywhere. Nothing is reserved ahead for such a picture.
    bool markupWanted() const { return m_markupWanted; }
    // Where the pointer was (global) as the host was about to show this selector: the crosshair
    // starts there without a look of its own. Used by the next showing only.
    void setPointerAtShow(const QPoint& global) { m_pointerAtShow = global; }

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

    // The picture of what was selected, for processSelectedArea: the picked window, or else the
    // area `globalRect`. Every selector's picture comes from here, before it is emitted.
    QPixmap grabSelection(const QRect& globalRect) const;

    void setHintSuffix(const QString& suffix);
    // Hides the hint, crosshair, frame and bands and repaints; stops following the windows.
    void hideDecorations();
    // Brings the host back to where it was before the hand-off moved it out of sight.
    void restoreHostPosition();

private:
    // Places the decorations around the pointer (global) for the selector's geometry now.
    void arrangeAt(const QPoint& pointer);
    void arrangeOnShow();
    void handOff(const QRect& rect);
    void handOffWindow(const BL::Capture::SPickedWindow& picked);
    void prepareForGrab();
    void noteMarkupWish();
    QPoint clamped(const QPoint& pos) const;
    void applyHint();
    void hoverAt(const QPoint& pos);
    QRect noSelection() const;
    bool windowsPickable() const;

    QColor m_dimColor;
    std::unique_ptr<BL::Capture::CSelectionDecorations> m_decorations;
    BL::Capture::CHandOffMarker* m_marker = nullptr; // up with the overlay; watched while it is handed over
    bool m_pressed = false;
    bool m_markupWanted = false;
    QPoint m_anchorPoint; // (0,0) stands for "no drag in progress"
    QPoint m_endPoint;
    QPoint m_hostPosBeforeGrab;
    QString m_hintSuffix;
    BL::Capture::CWindowPicker m_picker;
    bool m_windowMode = false;
    bool m_toldNoWindows = false; // Space was pressed where no window list is to be had
    QPoint m_lastPos;             // of the crosshair, so that a change of the list needs no query
    std::optional<QPoint> m_pointerAtShow;
    std::pair<QPoint, QRect> m_arrangedFor; // the pointer and the selector's geometry, global
    BL::Capture::SPickedWindow m_hovered;
    BL::Capture::SPickedWindow m_handedOver; // while processSelectedArea runs
    qreal m_handedOverRatio = 1;
};
