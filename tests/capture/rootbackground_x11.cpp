#include "rootbackground.h"

#include <QX11Info>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace BL::Test {

bool setRootBackground(const QImage& picture)
{
    Display* dpy = QX11Info::display();
    if (!dpy || DefaultDepth(dpy, DefaultScreen(dpy)) != 24)
        return false;
    QImage pixels = picture.convertToFormat(QImage::Format_RGB32);
    const Window root = DefaultRootWindow(dpy);
    const Pixmap pixmap = XCreatePixmap(dpy, root, pixels.width(), pixels.height(), 24);
    XImage* image = XCreateImage(dpy, DefaultVisual(dpy, DefaultScreen(dpy)), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels.bits()), pixels.width(), pixels.height(), 32,
                                 pixels.bytesPerLine());
    if (!image)
        return false;
    const GC gc = XCreateGC(dpy, pixmap, 0, nullptr);
    XPutImage(dpy, pixmap, gc, image, 0, 0, 0, 0, pixels.width(), pixels.height());
    XFreeGC(dpy, gc);
    image->data = nullptr; // the QImage's
    XDestroyImage(image);
    XSetWindowBackgroundPixmap(dpy, root, pixmap);
    XFreePixmap(dpy, pixmap); // the window keeps its own reference
    XClearWindow(dpy, root);
    XSync(dpy, False);
    return true;
}

QSize rootSize()
{
    Display* dpy = QX11Info::display();
    if (!dpy)
        return QSize();
    return QSize(DisplayWidth(dpy, DefaultScreen(dpy)), DisplayHeight(dpy, DefaultScreen(dpy)));
}

} // namespace BL::Test
