#pragma once

#include <QWidget>

namespace BL::Capture {

// Evidence of the overlay itself on screen while a selection is handed over: an opaque patch
// of a colour of our own in the overlay's corner. It stays up while the overlay does, so that
// at release it is already on screen; nearly the dimmed black, it reads as part of the overlay.
// Seen on screen, then gone once the overlay is moved away: its disappearance can then only
// mean a frame without the overlay, whatever live content (a video, a blinking caret) does
// meanwhile.
class CHandOffMarker : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHandOffMarker)

public:
    explicit CHandOffMarker(QWidget* selector);

    // Puts the patch in the selector's corner, above every other child, and shows it.
    void showInCorner();
    // The part of the screen watched (global logical coordinates), where the patch is now: taken
    // before the overlay moves away, since the patch moves with it.
    QRect watchedArea() const;
    // Looks at `watched` until the patch is shown there (or gone), or the compositor's bound runs
    // out; says whether it came to be. User input waits meanwhile: a key or click must not act
    // on a selection that is being handed over.
    static bool waitUntil(const QRect& watched, bool shown);
    // The longest a compositor is given for one frame.
    static int settleMs();
};

} // namespace BL::Capture
