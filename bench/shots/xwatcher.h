#pragma once

#include <QtGlobal>

// Xlib is kept out of this header: its macros (Bool, Status) break Qt headers included after it.
struct _XDisplay;
using Display = _XDisplay;
using Window = unsigned long;
using Atom = unsigned long;

// Drives the X server as a person would (XTest) and watches it from outside the program:
// windows mapped and unmapped (MapNotify/UnmapNotify on the root) and changes of the CLIPBOARD
// owner (XFixes), each stamped on the monotonic clock when the event arrives here.
class CXWatcher
{
public:
    explicit CXWatcher(Display* dpy);

    void takeClipboard();
    void drainEvents();
    // Waits for a window at least `minWidth` wide to be mapped; returns the time or -1.
    qint64 waitForMap(int minWidth, int timeoutMs, Window* mapped = nullptr);
    // Waits until `window` is unmapped or destroyed; returns the time or -1.
    qint64 waitForUnmap(Window window, int timeoutMs);
    // Waits until a window of the client whose WM_CLASS name is `name` is reparented into a window
    // of the tray host `host` (its WM_CLASS name), as a docked tray icon is; the time or -1.
    qint64 waitForDock(const char* name, const char* host, int timeoutMs);
    // Waits until another client owns the CLIPBOARD; returns the time or -1.
    qint64 waitForClipboardOwner(int timeoutMs);

    void hotkey(const char* letter); // Ctrl+Alt+letter
    void move(int x, int y);
    void button(bool down);

private:
    void key(const char* name, bool down);
    // Reads events until `done` says so or the time is up; returns the arrival time or -1.
    template<typename Done> qint64 waitFor(int timeoutMs, Done done);
    bool hasClassName(Window window, const char* name) const;

    Display* m_dpy;
    Atom m_clipboard;
    Window m_owner;
    int m_fixesEvent = 0;
};

// Microseconds on the monotonic clock, as the program's own timing lines.
qint64 nowUs();
