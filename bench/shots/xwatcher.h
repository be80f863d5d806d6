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
    // Waits for a pop-up menu window (_NET_WM_WINDOW_TYPE_POPUP_MENU) to be mapped; the time or -1.
    qint64 waitForMenu(int timeoutMs);
    // Waits until the window manager makes a window titled `title` the active one; the time or -1.
    qint64 waitForActiveWindow(const char* title, int timeoutMs);
    // Waits until `window` is at (x, y) of the root; true when it got there in time.
    bool waitForPosition(Window window, int x, int y, int timeoutMs);

    void hotkey(const char* letter); // Ctrl+Alt+letter
    void move(int x, int y);
    void button(bool down);
    // Presses and releases the key of `keysym` (an X keysym name), with Shift when it needs it.
    void press(const char* keysym);
    // Types `text` of printable ASCII, one key after another.
    void type(const QByteArray& text);

private:
    void key(const char* name, bool down);
    // Reads events until `done` says so or the time is up; returns the arrival time or -1.
    template<typename Done> qint64 waitFor(int timeoutMs, Done done);
    bool hasClassName(Window window, const char* name) const;
    bool isActive(const char* title) const;
    void keysym(unsigned long sym, bool down);
    void pressSym(unsigned long sym);

    Display* m_dpy;
    Atom m_clipboard;
    Atom m_activeWindow, m_windowType, m_popupMenu, m_wmName, m_utf8;
    Window m_owner;
    int m_fixesEvent = 0;
};

// Microseconds on the monotonic clock, as the program's own timing lines.
qint64 nowUs();
