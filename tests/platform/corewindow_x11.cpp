#include "corewindow_x11.h"

#include <QX11Info>
#include <X11/Xlib.h>

namespace BL::Test {

CCoreWindow::CCoreWindow(const QRect& geometry, QRgb color)
{
    Display* dpy = QX11Info::display();
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True; // no frame, no placement by the window manager
    attributes.background_pixel = color & 0xffffffu;
    m_window = XCreateWindow(dpy, DefaultRootWindow(dpy), geometry.x(), geometry.y(), geometry.width(),
                             geometry.height(), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(dpy, m_window);
    XSync(dpy, False);
}

CCoreWindow::~CCoreWindow()
{
    Display* dpy = QX11Info::display();
    XDestroyWindow(dpy, m_window);
    XSync(dpy, False);
}

} // namespace BL::Test
