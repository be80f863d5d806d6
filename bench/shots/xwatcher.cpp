#include "xwatcher.h"

#include <QThread>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <poll.h>

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

CXWatcher::CXWatcher(Display* dpy) : m_dpy(dpy)
{
    m_clipboard = XInternAtom(dpy, "CLIPBOARD", False);
    m_activeWindow = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
    m_windowType = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False);
    m_popupMenu = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_POPUP_MENU", False);
    m_wmName = XInternAtom(dpy, "_NET_WM_NAME", False);
    m_utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    m_owner = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask | PropertyChangeMask);
    int error = 0;
    if (XFixesQueryExtension(dpy, &m_fixesEvent, &error))
        XFixesSelectSelectionInput(dpy, DefaultRootWindow(dpy), m_clipboard,
                                   XFixesSetSelectionOwnerNotifyMask);
    XSync(dpy, False);
}

void CXWatcher::takeClipboard()
{
    XSetSelectionOwner(m_dpy, m_clipboard, m_owner, CurrentTime);
    XSync(m_dpy, False);
}

void CXWatcher::drainEvents()
{
    XSync(m_dpy, False);
    while (XPending(m_dpy)) {
        XEvent e;
        XNextEvent(m_dpy, &e);
    }
}

template<typename Done> qint64 CXWatcher::waitFor(int timeoutMs, Done done)
{
    const qint64 deadline = nowUs() + qint64(timeoutMs) * 1000;
    while (nowUs() < deadline) {
        while (XPending(m_dpy)) {
            XEvent e;
            XNextEvent(m_dpy, &e);
            const qint64 t = nowUs();
            if (done(e))
                return t;
        }
        // Asleep until the server writes: a poll every 100 us took a CPU from the program and
        // the server on a two-CPU machine just while the shot was being timed.
        pollfd connection{ConnectionNumber(m_dpy), POLLIN, 0};
        ::poll(&connection, 1, int(std::clamp<qint64>((deadline - nowUs()) / 1000 + 1, 1, 1000)));
    }
    return -1;
}

qint64 CXWatcher::waitForMap(int minWidth, int timeoutMs, Window* mapped)
{
    return waitFor(
        timeoutMs,
        [&](const XEvent& e) {
            if (e.type != MapNotify)
                return false;
            XWindowAttributes a;
            if (!XGetWindowAttributes(m_dpy, e.xmap.window, &a) || a.width < minWidth)
                return false;
            if (mapped)
                *mapped = e.xmap.window;
            return true;
        });
}

qint64 CXWatcher::waitForUnmap(Window window, int timeoutMs)
{
    return waitFor(
        timeoutMs,
        [&](const XEvent& e) {
            return (e.type == UnmapNotify && e.xunmap.window == window) ||
                   (e.type == DestroyNotify && e.xdestroywindow.window == window);
        });
}

bool CXWatcher::hasClassName(Window window, const char* name) const
{
    XClassHint hint{};
    if (!XGetClassHint(m_dpy, window, &hint))
        return false;
    const bool same = hint.res_name && std::strcmp(hint.res_name, name) == 0;
    XFree(hint.res_name);
    XFree(hint.res_class);
    return same;
}

qint64 CXWatcher::waitForDock(const char* name, const char* host, int timeoutMs)
{
    // The icon leaves the root for the host's socket: the root hears of it (SubstructureNotify).
    return waitFor(timeoutMs, [&](const XEvent& e) {
        if (e.type != ReparentNotify || e.xreparent.parent == DefaultRootWindow(m_dpy) ||
            !hasClassName(e.xreparent.window, name))
            return false;
        for (Window w = e.xreparent.parent; w && w != DefaultRootWindow(m_dpy);) {
            if (hasClassName(w, host))
                return true;
            Window root = 0, parent = 0, *children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(m_dpy, w, &root, &parent, &children, &count))
                return false;
            if (children)
                XFree(children);
            w = parent;
        }
        return false;
    });
}

qint64 CXWatcher::waitForClipboardOwner(int timeoutMs)
{
    if (!m_fixesEvent)
        return -1; // every X server of the benchmark has XFixes
    return waitFor(timeoutMs, [&](const XEvent& e) {
        if (e.type != m_fixesEvent + XFixesSelectionNotify)
            return false;
        const auto& n = reinterpret_cast<const XFixesSelectionNotifyEvent&>(e);
        return n.selection == m_clipboard && n.owner != m_owner && n.owner != None;
    });
}

qint64 CXWatcher::waitForMenu(int timeoutMs)
{
    return waitFor(
        timeoutMs,
        [&](const XEvent& e) {
            if (e.type != MapNotify)
                return false;
            Atom type = None;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* data = nullptr;
            bool menu = false;
            if (XGetWindowProperty(m_dpy, e.xmap.window, m_windowType, 0, 16, False, XA_ATOM, &type, &format,
                                   &count, &after, &data) == Success &&
                data) {
                const auto* atoms = reinterpret_cast<const Atom*>(data);
                menu = std::find(atoms, atoms + count, m_popupMenu) != atoms + count;
                XFree(data);
            }
            return menu;
        });
}

bool CXWatcher::isActive(const char* title) const
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(m_dpy, DefaultRootWindow(m_dpy), m_activeWindow, 0, 1, False, XA_WINDOW, &type,
                           &format, &count, &after, &data) == Success &&
        data) {
        if (count == 1)
            active = *reinterpret_cast<const Window*>(data);
        XFree(data);
    }
    if (!active)
        return false;
    data = nullptr;
    bool same = false;
    if (XGetWindowProperty(m_dpy, active, m_wmName, 0, 256, False, m_utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
        same = std::strcmp(reinterpret_cast<const char*>(data), title) == 0;
        XFree(data);
    }
    return same;
}

qint64 CXWatcher::waitForActiveWindow(const char* title, int timeoutMs)
{
    if (isActive(title))
        return nowUs();
    return waitFor(timeoutMs, [&](const XEvent& e) {
        return e.type == PropertyNotify && e.xproperty.atom == m_activeWindow && isActive(title);
    });
}

bool CXWatcher::waitForPosition(Window window, int x, int y, int timeoutMs)
{
    const qint64 deadline = nowUs() + qint64(timeoutMs) * 1000;
    do {
        Window child = 0;
        int atX = -1, atY = -1;
        XWindowAttributes a;
        if (XGetWindowAttributes(m_dpy, window, &a) && a.map_state == IsViewable &&
            XTranslateCoordinates(m_dpy, window, DefaultRootWindow(m_dpy), 0, 0, &atX, &atY, &child) &&
            atX == x && atY == y)
            return true;
        QThread::usleep(500);
    } while (nowUs() < deadline);
    return false;
}

void CXWatcher::keysym(unsigned long sym, bool down)
{
    XTestFakeKeyEvent(m_dpy, XKeysymToKeycode(m_dpy, sym), down, CurrentTime);
}

void CXWatcher::key(const char* name, bool down)
{
    keysym(XStringToKeysym(name), down);
}

void CXWatcher::press(const char* name)
{
    pressSym(XStringToKeysym(name));
}

void CXWatcher::pressSym(unsigned long sym)
{
    const KeyCode code = XKeysymToKeycode(m_dpy, sym);
    // The key's first level is what it gives without Shift.
    const bool shifted = code && XkbKeycodeToKeysym(m_dpy, code, 0, 0) != sym;
    if (shifted)
        key("Shift_L", true);
    keysym(sym, true);
    keysym(sym, false);
    if (shifted)
        key("Shift_L", false);
    XFlush(m_dpy);
}

void CXWatcher::type(const QByteArray& text)
{
    // Latin-1 keysyms are the characters' own codes.
    for (const char c : text)
        pressSym(uchar(c));
}

void CXWatcher::hotkey(const char* letter)
{
    key("Control_L", true);
    key("Alt_L", true);
    key(letter, true);
    key(letter, false);
    key("Alt_L", false);
    key("Control_L", false);
    XFlush(m_dpy);
}

void CXWatcher::move(int x, int y)
{
    XTestFakeMotionEvent(m_dpy, -1, x, y, CurrentTime);
    XFlush(m_dpy);
}

void CXWatcher::button(bool down)
{
    XTestFakeButtonEvent(m_dpy, 1, down, CurrentTime);
    XFlush(m_dpy);
}
