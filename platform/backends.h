#pragma once

#include "platform/globalshortcut.h"
#include "platform/windowlist.h"

#include <QByteArray>
#include <QImage>
#include <QKeySequence>
#include <QObject>
#include <QRect>
#include <QString>
#include <memory>

namespace BL::Platform {

// System-wide key grabs behind CGlobalShortcut.
class CAbstractShortcutBackend
{
public:
    virtual ~CAbstractShortcutBackend() = default;
    // Grabs the combination (first key of `sequence`) for `owner`, and says how that went.
    virtual CGlobalShortcut::ERegistration registerShortcut(CGlobalShortcut* owner,
                                                            const QKeySequence& sequence) = 0;
    // Gives up whatever `owner` holds; an owner it does not know is fine.
    virtual void unregisterShortcut(CGlobalShortcut* owner) = 0;
};

// The window system's fast screen grab; see grabScreenRect().
class CAbstractScreenGrabber
{
public:
    virtual ~CAbstractScreenGrabber() = default;
    virtual QImage grab(const QRect& rect) = 0;
    // A grab is coming soon: make ready what it needs, without blocking the caller.
    virtual void prepare() {}
    // Whether a translucent window shows the desktop behind it right now. Where it does not (X11
    // without a compositing manager: the overlay's own pixels land on the screen unblended), the
    // overlay is shown on a picture of the screen taken as it opens.
    virtual bool showsDesktopThroughOverlays() const { return true; }
    virtual void releaseBuffers() = 0;
};

// Where a program cannot read the screen behind its own windows (Wayland), the desktop hands
// over a picture of the whole screen when asked, some time later.
class CAbstractScreenshotSource : public QObject
{
    Q_OBJECT

public:
    // Asks for a picture of the whole desktop. Ends in exactly one taken() or failed(), within
    // a bounded time; a request while one is under way joins it.
    virtual void request() = 0;

signals:
    // The native pixels of the whole desktop.
    void taken(const QImage& picture);
    // `reason` names what did not answer or refused, for the person to read.
    void failed(const QString& reason);
};

// The operating system's polite requests to end; see quitOnTerminationRequest().
class CAbstractPointerOutput;

class CAbstractTermination
{
public:
    virtual ~CAbstractTermination() = default;
    virtual void quitOnTerminationRequest() = 0;
};

// What the loader chose for this process: the backends of one window system
// (or the inert "null" ones) and the operating system's termination handling.
class CBackends
{
public:
    CBackends(QString name, std::unique_ptr<CAbstractShortcutBackend> shortcuts,
              std::unique_ptr<CAbstractScreenGrabber> screenGrabber,
              std::unique_ptr<CAbstractTermination> termination,
              std::unique_ptr<CAbstractScreenshotSource> screenshots = nullptr,
              std::unique_ptr<CAbstractWindowList> windowList = nullptr,
              std::unique_ptr<CAbstractPointerOutput> pointerOutput = nullptr);
    ~CBackends();

    // The window-system backends in use: "xcb", "wayland", "windows" or "null".
    QString name() const { return m_name; }
    CAbstractShortcutBackend& shortcuts() const { return *m_shortcuts; }
    CAbstractScreenGrabber& screenGrabber() const { return *m_screenGrabber; }
    CAbstractTermination& termination() const { return *m_termination; }
    // Null where the live screen can be read directly.
    CAbstractScreenshotSource* screenshots() const { return m_screenshots.get(); }
    // The desktop's windows, for picking one; an empty, unavailable list where there is none.
    CAbstractWindowList& windowList() const { return *m_windowList; }
    // Null where Qt's own cursor position tells the screen under the pointer.
    CAbstractPointerOutput* pointerOutput() const { return m_pointerOutput.get(); }

private:
    QString m_name;
    std::unique_ptr<CAbstractShortcutBackend> m_shortcuts;
    std::unique_ptr<CAbstractScreenGrabber> m_screenGrabber;
    std::unique_ptr<CAbstractTermination> m_termination;
    std::unique_ptr<CAbstractScreenshotSource> m_screenshots;
    std::unique_ptr<CAbstractWindowList> m_windowList;
    std::unique_ptr<CAbstractPointerOutput> m_pointerOutput;
};

// Chooses the backends for a Qt platform (QGuiApplication::platformName()).
// `forced` ("null" or a window-system name, empty for none) overrides the
// platform; an unknown value is warned about once and ignored. Anything this
// build has no backends for, or whose display cannot be reached, gets "null".
std::unique_ptr<CBackends> loadBackends(const QString& platformName, const QByteArray& forced);

// The process-wide choice, made at first use from the running platform and
// BL_PLATFORM_BACKEND. Needs the QGuiApplication.
CBackends& backends();

} // namespace BL::Platform
