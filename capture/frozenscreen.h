#pragma once

#include <QImage>
#include <QPixmap>
#include <QRect>

class QPainter;
class QScreen;

namespace BL::Capture {

// Where a program cannot read the screen behind its own window (Wayland), the picture of the
// desktop taken as the overlay opens stands in for the live screen: the overlay shows it and
// every selection is cut from it. `picture` holds the native pixels of `desktop`, given in
// global logical coordinates; a null picture goes back to the live screen.
void setFrozenScreen(const QImage& picture, const QRect& desktop);
// Where the screen can be read but a translucent window hides it (X11 without a compositing
// manager): the root window's native pixels, taken as the overlay opens. Cut by native
// rectangles as a live grab would be, and its windows are the window list's.
void setFrozenRoot(const QImage& root);
bool hasFrozenScreen();
bool hasFrozenRoot();
// The part of the frozen root under `nativeRect`; null without a frozen root, or for a rectangle
// that does not lie on it.
QImage cropFrozenRoot(const QRect& nativeRect);
// Paints the frozen root under `globalRect` (logical) into `target`, each screen's part from its
// own native pixels, for whatever is drawn over it to be blended there: nothing else blends a
// translucent window with what lies under it. False, painting nothing, without a frozen root.
bool paintFrozenRoot(QPainter& painter, const QRect& target, const QRect& globalRect);

// The part of the frozen picture under `logicalRect` (global logical coordinates, on `screen`),
// at that screen's native pixels; `ratio` receives their ratio to logical ones. Null when no
// picture is set or the area lies outside it.
QImage cropFrozenScreen(const QScreen* screen, const QRect& logicalRect, qreal* ratio);

} // namespace BL::Capture
