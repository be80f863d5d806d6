#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>

class QScreen;

namespace BL::Capture {

// Screen that holds the global point, or null when no screen does.
QScreen* screenContaining(const QPoint& globalPos);

// The native pixels (root window coordinates) behind a rectangle of global logical coordinates
// that lies on `screen`. A scaled screen keeps its native origin and scales only what lies past
// it, so a logical point p maps to origin + (p - origin) × ratio.
QRect nativeRect(const QScreen* screen, const QRect& logicalRect);

// Grabs a rectangle given in global logical coordinates, each part from the screen that shows
// it. A rectangle on one screen comes at that screen's native size, carrying its device pixel
// ratio; one spanning screens of different ratios is put together at the highest of them, as
// the person saw it, with black where no screen is. Returns a null pixmap for a rectangle that
// is not valid, that no screen shows, or whose grab fails.
QPixmap grabScreenArea(const QRect& globalRect);

// The rectangle spanned by two corner points, both included, whatever their order.
QRect rectFromCorners(const QPoint& a, const QPoint& b);

} // namespace BL::Capture
