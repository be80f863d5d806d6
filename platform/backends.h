#pragma once

#include "platform/globalshortcut.h"

#include <QByteArray>
#include <QImage>
#include <QKeySequence>
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
    virtual void releaseBuffers() = 0;
};

// The operating system's polite requests to end; see quitOnTerminationRequest().
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
              std::unique_ptr<CAbstractTermination> termination);

    // The window-system backends in use: "xcb", "windows" or "null".
    QString name() const { return m_name; }
    CAbstractShortcutBackend& shortcuts() const { return *m_shortcuts; }
    CAbstractScreenGrabber& screenGrabber() const { return *m_screenGrabber; }
    CAbstractTermination& termination() const { return *m_termination; }

private:
    QString m_name;
    std::unique_ptr<CAbstractShortcutBackend> m_shortcuts;
    std::unique_ptr<CAbstractScreenGrabber> m_screenGrabber;
    std::unique_ptr<CAbstractTermination> m_termination;
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
