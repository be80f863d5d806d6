#include "platform/portal_wayland.h"

#include "platform/logging.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <atomic>

namespace BL::Platform {

const char kPortalService[] = "org.freedesktop.portal.Desktop";
const char kPortalPath[] = "/org/freedesktop/portal/desktop";

namespace {

const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

QString nextHandleToken()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("brightloom%1").arg(++counter);
}

// Where the portal puts the Request object of a token: known before the call, so the answer
// cannot slip by before we listen.
QString expectedRequestPath(const QString& token)
{
    QString sender = QDBusConnection::sessionBus().baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

} // namespace

QString portalCallFailure(const QString& interface, const QString& errorName, const QString& errorMessage)
{
    const auto text = [](const char* source) { return QCoreApplication::translate("BL::Platform", source); };
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Spawn.ChildExited") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected") || errorName.isEmpty())
        return text("no desktop portal is running (xdg-desktop-portal, %1)").arg(interface);
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return text("the desktop portal did not answer in time (%1)").arg(interface);
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject"))
        return text("the desktop portal does not offer %1").arg(interface);
    return text("the desktop portal refused (%1: %2)").arg(interface, errorMessage);
}

CPortalRequest::CPortalRequest(QObject* parent) : QObject(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        fail(QCoreApplication::translate("BL::Platform", "the desktop portal did not answer in time (%1)")
                 .arg(m_interface));
    });
}

CPortalRequest::~CPortalRequest()
{
    listenOn(QString());
}

void CPortalRequest::start(const QString& interface, const QString& method, const QVariantList& args,
                           QVariantMap options, int responseTimeoutMs)
{
    m_interface = interface;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        // Deferred, so the caller hears of it the same way as of any later failure.
        QTimer::singleShot(0, this, [this] { fail(portalCallFailure(m_interface, QString(), QString())); });
        return;
    }
    const QString token = nextHandleToken();
    options.insert(QStringLiteral("handle_token"), token);
    listenOn(expectedRequestPath(token));

    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kPortalService),
                                                       QLatin1String(kPortalPath), interface, method);
    call.setArguments(QVariantList(args) << options);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kPortalCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) {
            fail(portalCallFailure(m_interface, reply.error().name(), reply.error().message()));
            return;
        }
        // Portals older than the handle token choose their own path.
        if (reply.value().path() != m_path)
            listenOn(reply.value().path());
    });
    m_deadline.start(kPortalCallTimeoutMs + responseTimeoutMs);
}

void CPortalRequest::listenOn(const QString& path)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!m_path.isEmpty())
        bus.disconnect(QLatin1String(kPortalService), m_path, kRequestInterface, QStringLiteral("Response"),
                       this, SLOT(onResponse(uint, QVariantMap)));
    m_path = path;
    if (!m_path.isEmpty() &&
        !bus.connect(QLatin1String(kPortalService), m_path, kRequestInterface, QStringLiteral("Response"),
                     this, SLOT(onResponse(uint, QVariantMap))))
        qCWarning(lcPlatform) << "cannot listen for the portal's answer on" << m_path;
}

void CPortalRequest::onResponse(uint response, const QVariantMap& results)
{
    if (m_done)
        return;
    m_done = true;
    m_deadline.stop();
    listenOn(QString());
    emit answered(response, results);
}

void CPortalRequest::fail(const QString& reason)
{
    if (m_done)
        return;
    m_done = true;
    m_deadline.stop();
    listenOn(QString());
    qCWarning(lcPlatform).noquote() << "portal request failed:" << reason;
    emit failed(reason);
}

} // namespace BL::Platform
