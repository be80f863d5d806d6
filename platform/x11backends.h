#pragma once

#include "platform/backends.h"

#include <QByteArray>
#include <xcb/xcb.h>

// As Xlib declares it; Xlib.h itself would bring macros (KeyPress, None, ...)
// that clash with Qt headers included after this one.
typedef struct _XDisplay Display;

namespace BL::Platform {

// Qt's own connection to the X server: key presses for our grabs arrive in its
// event stream. Each X11 backend takes it once, when it is made.
struct SX11Connection
{
    Display* display = nullptr;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
};

std::unique_ptr<CAbstractShortcutBackend> createX11ShortcutBackend(const SX11Connection& x11);
std::unique_ptr<CAbstractScreenGrabber> createX11ScreenGrabber(const SX11Connection& x11);
std::unique_ptr<CAbstractWindowList> createX11WindowList(const SX11Connection& x11);

// Whether an X display name ("host:display.screen") names a server on this machine reached over a
// local socket: only then can the server map our shared memory.
bool isLocalX11Display(const QByteArray& displayName);

} // namespace BL::Platform
