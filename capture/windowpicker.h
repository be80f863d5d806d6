#pragma once

#include "platform/windowlist.h"

#include <QPixmap>
#include <QPoint>
#include <QRect>

class QWidget;

namespace BL::Capture {

// A window under the crosshair.
struct SPickedWindow
{
    BL::Platform::STopLevelWindow window; // id 0: none
    // Its outer rectangle on the selector, in the selector's coordinates: what is outlined.
    QRect onSelector;

    bool isNull() const { return window.id == 0; }
};

// Picks whole windows for a selector: which window lies under a point of the selector, and the
// picture of one as the person sees it. Windows are known in native pixels of the desktop and
// the selector in logical ones of its screen; the mapping is the area grab's (a scaled screen
// keeps its native origin and scales only what lies past it).
class CWindowPicker
{
public:
    explicit CWindowPicker(QWidget* selector);

    // Whether the desktop lists its windows at all.
    bool available() const;
    // Reads the list of windows, leaving out the selector's own window; cheap when already read.
    void follow();
    void stop();

    // The topmost window under `pos` (selector coordinates), without asking the window system.
    SPickedWindow windowAt(const QPoint& pos) const;

    // The window's pixels, frame included, cut to what the screens show: its own pixels where
    // the window system keeps them (a compositor runs), otherwise its rectangle cut from the
    // screen (from the frozen root the overlay showed, where there is one). Native resolution, tagged with
    // the selector screen's ratio; null when no screen shows any of it or the grab fails.
    static QPixmap grab(const SPickedWindow& picked, qreal ratio);

    // The ratio of the selector's screen, for grab().
    qreal ratio() const;

private:
    QWidget* m_selector;
};

} // namespace BL::Capture
