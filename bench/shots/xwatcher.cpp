#include "xwatcher.h"

#include <QThread>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <chrono>
#include <cstring>

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

CXWatcher::CXWatcher(Display* dpy) : m_dpy(dpy)
{
    m_clipboard = XInternAtom(dpy, "CLIPBOARD", False);
    m_owner = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
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
        QThread::usleep(100);
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

void CXWatcher::key(const char* name, bool down)
{
    XTestFakeKeyEvent(m_dpy, XKeysymToKeycode(m_dpy, XStringToKeysym(name)), down, CurrentTime);
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
