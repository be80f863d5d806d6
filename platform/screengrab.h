#pragma once

#include <QImage>
#include <QRect>

namespace BL::Platform {

// Copies an area of the screen (native pixels, root window coordinates) the
// fastest way the window system offers. A null image means "not available
// here" (no such backend, an area past the root window, an odd visual): the
// caller falls back to Qt's own grab.
QImage grabScreenRect(const QRect& rect);

// Drops the buffers kept between grabs (a full-screen shared segment); the
// next grab makes them again. For idle moments only.
void releaseScreenGrabBuffers();

} // namespace BL::Platform
