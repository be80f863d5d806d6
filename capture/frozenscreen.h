#pragma once

#include <QImage>
#include <QPixmap>
#include <QRect>

namespace BL::Capture {

// Where a program cannot read the screen behind its own window (Wayland), the picture of the
// desktop taken as the overlay opens stands in for the live screen: the overlay shows it and
// every selection is cut from it. `picture` holds the native pixels of `desktop`, given in
// global logical coordinates; a null picture goes back to the live screen.
void setFrozenScreen(const QImage& picture, const QRect& desktop);
bool hasFrozenScreen();

// The part of the frozen picture under `globalRect` (logical), at the picture's own pixels and
// tagged with their ratio to logical ones; null when no picture is set or the area lies outside it.
QPixmap cropFrozenScreen(const QRect& globalRect);

} // namespace BL::Capture
