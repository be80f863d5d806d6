#include "platform/backends.h"

#include "platform/backendfactories.h"
#include "platform/logging.h"
#include "platform/pointerscreen.h"
#include "platform/screengrab.h"
#include "platform/termination.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <atomic>
#include <optional>

namespace BL::Platform {

namespace {

const QString kNull = QStringLiteral("null");

std::optional<SWindowSystemFactory> windowSystemNamed(const QString& name)
{
    for (const SWindowSystemFactory& factory : windowSystemFactories())
        if (name == QLatin1String(factory.name))
            return factory;
    return std::nullopt;
}

// The window system whose backends to try: the forced one when it names something this build has.
QString wantedWindowSystem(const QString& platformName, const QByteArray& forced)
{
    if (forced.isEmpty())
        return platformName;
    const QString name = QString::fromLatin1(forced);
    if (name == kNull || windowSystemNamed(name))
        return name;
    // The loader may run more than once (tests do); one complaint is enough.
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true))
        qCWarning(lcPlatform) << "BL_PLATFORM_BACKEND" << name
                              << "is not a backend of this build; choosing by the platform";
    return platformName;
}

} // namespace

CBackends::CBackends(QString name, std::unique_ptr<CAbstractShortcutBackend> shortcuts,
                     std::unique_ptr<CAbstractScreenGrabber> screenGrabber,
                     std::unique_ptr<CAbstractTermination> termination,
                     std::unique_ptr<CAbstractScreenshotSource> screenshots,
                     std::unique_ptr<CAbstractWindowList> windowList,
                     std::unique_ptr<CAbstractPointerOutput> pointerOutput)
    : m_name(std::move(name)), m_shortcuts(std::move(shortcuts)), m_screenGrabber(std::move(screenGrabber)),
      m_termination(std::move(termination)), m_screenshots(std::move(screenshots)),
      m_windowList(windowList ? std::move(windowList) : createNullWindowList()),
      m_pointerOutput(std::move(pointerOutput))
{
}

CBackends::~CBackends() = default;

std::unique_ptr<CBackends> loadBackends(const QString& platformName, const QByteArray& forced)
{
    const QString wanted = wantedWindowSystem(platformName, forced);
    QString name = kNull;
    std::unique_ptr<CAbstractShortcutBackend> shortcuts;
    std::unique_ptr<CAbstractScreenGrabber> screenGrabber;
    std::unique_ptr<CAbstractScreenshotSource> screenshots;
    std::unique_ptr<CAbstractWindowList> windowList;
    std::unique_ptr<CAbstractPointerOutput> pointerOutput;
    if (const std::optional<SWindowSystemFactory> factory = windowSystemNamed(wanted)) {
        shortcuts = factory->createShortcuts();
        screenGrabber = factory->createScreenGrabber();
        if (shortcuts && screenGrabber) {
            name = wanted;
            if (factory->createScreenshotSource)
                screenshots = factory->createScreenshotSource();
            if (factory->createWindowList)
                windowList = factory->createWindowList();
            if (factory->createPointerOutput)
                pointerOutput = factory->createPointerOutput();
        } else {
            qCWarning(lcPlatform) << "cannot reach the" << wanted
                                  << "window system; hotkeys and fast grabs stay off";
            shortcuts.reset();
            screenGrabber.reset();
        }
    }
    if (!shortcuts) {
        shortcuts = createNullShortcutBackend();
        screenGrabber = createNullScreenGrabber();
    }
    qCInfo(lcPlatform) << "using the" << name << "backends on the" << platformName << "platform";
    return std::make_unique<CBackends>(name, std::move(shortcuts), std::move(screenGrabber),
                                       createSystemTermination(), std::move(screenshots),
                                       std::move(windowList), std::move(pointerOutput));
}

CBackends& backends()
{
    // The platform is only known once the application object exists; choosing
    // before would fix the wrong backends for the whole run.
    Q_ASSERT(qobject_cast<QGuiApplication*>(QCoreApplication::instance()));
    static const std::unique_ptr<CBackends> instance =
        loadBackends(QGuiApplication::platformName(), qgetenv("BL_PLATFORM_BACKEND"));
    return *instance;
}

QImage grabScreenRect(const QRect& rect)
{
    return backends().screenGrabber().grab(rect);
}

void prepareScreenGrab()
{
    backends().screenGrabber().prepare();
}

bool showsDesktopThroughOverlays()
{
    return backends().screenGrabber().showsDesktopThroughOverlays();
}

void releaseScreenGrabBuffers()
{
    backends().screenGrabber().releaseBuffers();
}

CAbstractWindowList& windowList()
{
    return backends().windowList();
}

void quitOnTerminationRequest()
{
    backends().termination().quitOnTerminationRequest();
}

} // namespace BL::Platform
