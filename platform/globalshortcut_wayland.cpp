#include "platform/backendfactories.h"
#include "platform/globalshortcut.h"
#include "platform/logging.h"
#include "platform/portal_wayland.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

// Wayland gives no program the keyboard of others. Only the desktop can bind keys for us, through
// its GlobalShortcuts portal where it has one; elsewhere the person binds our command-line actions
// in the desktop's own settings (the shell says so), and the shortcuts here stay inert.
namespace BL::Platform {

namespace {

const QString kShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
// Asked once at start, while the program waits: kept short.
constexpr int kProbeTimeoutMs = 1500;

// Whether the running portal has the GlobalShortcuts interface (its "version" property answers).
bool portalOffersGlobalShortcuts()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QLatin1String(kPortalService), QLatin1String(kPortalPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kShortcutsInterface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kProbeTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qCInfo(lcPlatform).noquote() << "no global shortcuts from the desktop:"
                                     << portalCallFailure(kShortcutsInterface, reply.errorName(),
                                                          reply.errorMessage());
        return false;
    }
    return true;
}

class CWaylandShortcutBackend final : public CAbstractShortcutBackend
{
public:
    CGlobalShortcut::ERegistration registerShortcut(CGlobalShortcut*, const QKeySequence& sequence) override
    {
        if (!m_probed) {
            m_probed = true;
            m_offered = portalOffersGlobalShortcuts();
            if (m_offered)
                qCWarning(lcPlatform)
                    << "the desktop offers global shortcuts, but binding them through it is not"
                       " built yet; bind the command-line actions instead";
        }
        qCDebug(lcPlatform) << "no global shortcut on Wayland for" << sequence.toString();
        return CGlobalShortcut::Unsupported;
    }

    void unregisterShortcut(CGlobalShortcut*) override {}

private:
    bool m_probed = false;
    bool m_offered = false;
};

} // namespace

std::unique_ptr<CAbstractShortcutBackend> createWaylandShortcutBackend()
{
    return std::make_unique<CWaylandShortcutBackend>();
}

} // namespace BL::Platform
