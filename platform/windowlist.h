#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QVector>

namespace BL::Platform {

// A top-level window as the desktop shows it.
struct STopLevelWindow
{
    // The window system's handle of the outermost window (X11: the window manager's frame).
    quint64 id = 0;
    // Its outer rectangle, frame and border included, in native pixels of the whole desktop
    // (X11: root window coordinates).
    QRect geometry;
};

// The desktop's top-level windows in stacking order, for picking one window with the mouse.
// The list is read once when following starts and then kept up to date from the window
// system's own notifications, so that asking for it costs no request to the window system.
class CAbstractWindowList : public QObject
{
    Q_OBJECT

public:
    // Whether this desktop tells a program about its windows at all.
    virtual bool available() const = 0;
    // Reads the list and follows its changes from now on, leaving out `ignored` (our own
    // overlay). Following again while following only changes what is left out.
    virtual void follow(quint64 ignored) = 0;
    // Stops following and forgets the list: nothing arrives while no overlay needs it.
    virtual void stop() = 0;
    // The mapped windows, topmost first.
    virtual const QVector<STopLevelWindow>& windows() const = 0;
    // The window's own pixels of `area` (native coordinates, inside its geometry) where the
    // window system keeps them apart from whatever covers the window (X11: the off-screen copy
    // a compositor keeps of each window), at the native size of `area`; null where it does not.
    virtual QImage ownPixels(const STopLevelWindow& window, const QRect& area) = 0;
    // How often the whole list has been read from the window system: once per following, never
    // per question (the benchmark prints it).
    virtual int fullReads() const = 0;

    // The topmost window holding `nativePoint`; one with an id of 0 where none does.
    STopLevelWindow windowAt(const QPoint& nativePoint) const
    {
        for (const STopLevelWindow& window : windows())
            if (window.geometry.contains(nativePoint))
                return window;
        return {};
    }

signals:
    // The list changed (a window was mapped, moved, restacked, unmapped or destroyed).
    void changed();
};

// The window list of the running desktop (see backends.h).
CAbstractWindowList& windowList();

} // namespace BL::Platform
