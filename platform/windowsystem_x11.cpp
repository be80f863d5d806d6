#include "platform/backendfactories.h"
#include "platform/x11backends.h"

#include <QX11Info>

// Linux and other X11 systems; Wayland desktops through their portals.
namespace BL::Platform {

namespace {

// Makes an X11 backend on Qt's connection. Only the xcb platform plugin has
// one; under any other a forced "xcb" gets nothing and the loader falls back.
template<typename Backend, std::unique_ptr<Backend> (*create)(const SX11Connection&)>
std::unique_ptr<Backend> onQtConnection()
{
    if (!QX11Info::isPlatformX11() || !QX11Info::display() || !QX11Info::connection())
        return nullptr;
    return create(
        SX11Connection{QX11Info::display(), QX11Info::connection(), xcb_window_t(QX11Info::appRootWindow())});
}

} // namespace

std::vector<SWindowSystemFactory> windowSystemFactories()
{
    return {{"xcb", onQtConnection<CAbstractShortcutBackend, createX11ShortcutBackend>,
             onQtConnection<CAbstractScreenGrabber, createX11ScreenGrabber>, nullptr,
             onQtConnection<CAbstractWindowList, createX11WindowList>},
            // No fast grab there: the portal's picture of the whole desktop stands in for the screen.
            // Nor does Qt know where the pointer is outside our windows: the compositor is asked.
            {"wayland", createWaylandShortcutBackend, createNullScreenGrabber, createPortalScreenshotSource,
             nullptr, createSwayPointerOutput}};
}

} // namespace BL::Platform
