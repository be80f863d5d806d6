#pragma once

#include <QImage>
#include <QRect>

namespace BL::Platform {

// Copies an area of the screen (native pixels, root window coordinates) the
// fastest way the window system offers. A null image means "not available
// here" (no such backend, an area past the root window, an odd visual): the
// caller falls back to Qt's own grab.
QImage grabScreenRect(const QRect& rect);

// Readies the buffers for a grab of up to the whole root window, so that the first grab after an
// idle spell costs no more than the next: fresh memory is paid for page by page as it is first
// written, and a full screen is thousands of pages. The memory is touched on a worker thread;
// call it when a grab is about to come (an overlay has opened).
void prepareScreenGrab();

// Whether the translucent overlay shows the live desktop through it (see
// CAbstractScreenGrabber::showsDesktopThroughOverlays). No round trip: Qt follows it.
bool showsDesktopThroughOverlays();

// Drops the buffers kept between grabs (a full-screen shared segment); the
// next grab makes them again. For idle moments only.
void releaseScreenGrabBuffers();

} // namespace BL::Platform
