#include "platform/globalshortcut_wayland.h"

#include "platform/backendfactories.h"
#include "platform/globalshortcut.h"
#include "platform/logging.h"
#include "platform/portal_wayland.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QSet>

// Wayland gives no program the keyboard of others. Only the desktop can bind keys for us, through
// its GlobalShortcuts portal where it has one; elsewhere the person binds our command-line actions
// in the desktop's own settings (the shell says so), and the shortcuts here stay inert.
namespace BL::Platform {

namespace {

const QString kShortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
// KDE Plasma files the shortcuts under the session's token and keeps them, with their keys, after
// the session closes: one token for every session, so that a session opened again finds its own
// keys instead of a closed one holding them, and what the person chose stays across starts.
const QString kSessionToken = QStringLiteral("brightloom");
const QString kKdeShortcutService = QStringLiteral("org.kde.kglobalaccel");
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

// Key names of the desktop's notation (XKB key symbol names) for the keys that are not a letter,
// a digit or a function key.
QString keyName(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QChar(QLatin1Char(char('a' + (key - Qt::Key_A))));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return QChar(QLatin1Char(char('0' + (key - Qt::Key_0))));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    static const QHash<int, const char*> names = {
        {Qt::Key_Print, "Print"},
        {Qt::Key_Escape, "Escape"},
        {Qt::Key_Space, "space"},
        {Qt::Key_Return, "Return"},
        {Qt::Key_Enter, "Return"},
        {Qt::Key_Tab, "Tab"},
        {Qt::Key_Backspace, "BackSpace"},
        {Qt::Key_Insert, "Insert"},
        {Qt::Key_Delete, "Delete"},
        {Qt::Key_Home, "Home"},
        {Qt::Key_End, "End"},
        {Qt::Key_PageUp, "Prior"},
        {Qt::Key_PageDown, "Next"},
        {Qt::Key_Left, "Left"},
        {Qt::Key_Right, "Right"},
        {Qt::Key_Up, "Up"},
        {Qt::Key_Down, "Down"},
        {Qt::Key_Pause, "Pause"},
        {Qt::Key_ScrollLock, "Scroll_Lock"},
        {Qt::Key_Minus, "minus"},
        {Qt::Key_Equal, "equal"},
        {Qt::Key_Comma, "comma"},
        {Qt::Key_Period, "period"},
        {Qt::Key_Slash, "slash"},
        {Qt::Key_Semicolon, "semicolon"},
        {Qt::Key_Apostrophe, "apostrophe"},
        {Qt::Key_BracketLeft, "bracketleft"},
        {Qt::Key_BracketRight, "bracketright"},
        {Qt::Key_Backslash, "backslash"},
        {Qt::Key_QuoteLeft, "grave"},
    };
    const auto found = names.constFind(key);
    return found == names.constEnd() ? QString() : QString::fromLatin1(*found);
}

// The ids in the "shortcuts" list of a portal's answer.
QStringList shortcutIds(const QVariantMap& results)
{
    QList<SPortalShortcut> shortcuts;
    const QVariant list = results.value(QStringLiteral("shortcuts"));
    if (list.canConvert<QDBusArgument>())
        list.value<QDBusArgument>() >> shortcuts;
    QStringList ids;
    for (const SPortalShortcut& shortcut : qAsConst(shortcuts))
        ids << shortcut.id;
    return ids;
}

// KDE Plasma gives a shortcut it remembers its old key again and passes over a new preferred one:
// told to forget the shortcut whose combination the person changed here, it binds the new one in
// the next session. Other desktops have no such service and keep their own ways.
void forgetRememberedTrigger(const QString& id)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.interface() || !bus.interface()->isServiceRegistered(kKdeShortcutService).value())
        return;
    QDBusMessage forget =
        QDBusMessage::createMethodCall(kKdeShortcutService, QStringLiteral("/kglobalaccel"),
                                       QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("unregister"));
    forget << kSessionToken << id;
    const QDBusMessage reply = bus.call(forget, QDBus::Block, kPortalCallTimeoutMs);
    qCDebug(lcPlatform) << "the desktop forgot the key of" << id << reply.arguments();
}

} // namespace

QString portalTrigger(const QKeySequence& sequence)
{
    if (sequence.isEmpty())
        return QString();
    const int combination = sequence[0];
    const QString key = keyName(combination & ~int(Qt::KeyboardModifierMask));
    // Keypad keys have names of their own the desktop would not match to ours: left to the person.
    if (key.isEmpty() || (combination & Qt::KeypadModifier))
        return QString();
    QStringList parts;
    if (combination & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (combination & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (combination & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (combination & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    parts << key;
    return parts.join(QLatin1Char('+'));
}

CWaylandShortcutBackend::CWaylandShortcutBackend(int sessionTimeoutMs, int bindTimeoutMs)
    : m_sessionTimeoutMs(sessionTimeoutMs), m_bindTimeoutMs(bindTimeoutMs)
{
    qDBusRegisterMetaType<SPortalShortcut>();
    qDBusRegisterMetaType<QList<SPortalShortcut>>();
    // The four hotkeys arrive one by one (and twice over when the options swap them): bound as one.
    m_rebind.setSingleShot(true);
    m_rebind.setInterval(0);
    connect(&m_rebind, &QTimer::timeout, this, &CWaylandShortcutBackend::bindAll);
}

CWaylandShortcutBackend::~CWaylandShortcutBackend()
{
    // The process-wide backend goes after the application, and the bus with it: the session
    // was closed when the last hotkey went.
    if (!QCoreApplication::instance())
        return;
    closeSession();
    if (m_listening)
        QDBusConnection::sessionBus().disconnect(
            QLatin1String(kPortalService), QLatin1String(kPortalPath), kShortcutsInterface,
            QStringLiteral("Activated"), this,
            SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
}

bool CWaylandShortcutBackend::portalOffered()
{
    if (!m_probed) {
        m_probed = true;
        m_offered = portalOffersGlobalShortcuts();
        if (m_offered)
            m_listening = QDBusConnection::sessionBus().connect(
                QLatin1String(kPortalService), QLatin1String(kPortalPath), kShortcutsInterface,
                QStringLiteral("Activated"), this,
                SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        if (m_offered && !m_listening)
            qCWarning(lcPlatform) << "cannot listen for the desktop's global shortcuts";
    }
    return m_offered && m_listening;
}

CGlobalShortcut::ERegistration CWaylandShortcutBackend::registerShortcut(CGlobalShortcut* owner,
                                                                         const QKeySequence& sequence)
{
    if (!owner || !portalOffered()) {
        qCDebug(lcPlatform) << "no global shortcut on Wayland for" << sequence.toString();
        return CGlobalShortcut::Unsupported;
    }
    m_wanted.insert(owner, sequence);
    m_rebind.start();
    return CGlobalShortcut::Registered;
}

void CWaylandShortcutBackend::unregisterShortcut(CGlobalShortcut* owner)
{
    if (!m_wanted.remove(owner))
        return;
    for (auto it = m_boundIds.begin(); it != m_boundIds.end(); ++it)
        if (it.value() == owner)
            it.value() = nullptr;
    // The last one goes at exit, when no event loop is left to bind again: closed at once.
    if (m_wanted.isEmpty() && !m_request) {
        m_rebind.stop();
        closeSession();
        return;
    }
    m_rebind.start();
}

void CWaylandShortcutBackend::bindAll()
{
    // One round at a time: a change while the desktop is still answering binds again afterwards.
    if (m_request) {
        m_changedMeanwhile = true;
        return;
    }
    m_changedMeanwhile = false;
    closeSession();
    if (!m_wanted.isEmpty())
        createSession();
}

QList<SPortalShortcut> CWaylandShortcutBackend::wantedShortcuts()
{
    QList<SPortalShortcut> shortcuts;
    m_boundIds.clear();
    QHash<QString, QString> triggers;
    QSet<QString> taken;
    int unnamed = 0;
    for (auto it = m_wanted.cbegin(); it != m_wanted.cend(); ++it) {
        CGlobalShortcut* owner = it.key();
        // The desktop remembers what the person chose by id: stable names where the owner has one.
        QString id = owner->objectName();
        while (id.isEmpty() || taken.contains(id))
            id = QStringLiteral("shortcut%1").arg(++unnamed);
        taken.insert(id);
        SPortalShortcut shortcut{id, {}};
        shortcut.properties.insert(QStringLiteral("description"),
                                   owner->description().isEmpty() ? id : owner->description());
        const QString trigger = portalTrigger(it.value());
        if (!trigger.isEmpty())
            shortcut.properties.insert(QStringLiteral("preferred_trigger"), trigger);
        shortcuts << shortcut;
        m_boundIds.insert(id, owner);
        triggers.insert(id, trigger);
    }
    for (auto it = triggers.cbegin(); it != triggers.cend(); ++it)
        if (m_offeredTriggers.contains(it.key()) && m_offeredTriggers.value(it.key()) != it.value())
            forgetRememberedTrigger(it.key());
    m_offeredTriggers.insert(triggers);
    return shortcuts;
}

void CWaylandShortcutBackend::createSession()
{
    const QList<SPortalShortcut> shortcuts = wantedShortcuts();
    m_request = new CPortalRequest(this);
    connect(m_request, &CPortalRequest::failed, this, &CWaylandShortcutBackend::giveUp);
    connect(m_request, &CPortalRequest::answered, this,
            [this, shortcuts](uint response, const QVariantMap& results) {
                m_request->deleteLater();
                m_request = nullptr;
                const QVariant handle = results.value(QStringLiteral("session_handle"));
                m_session = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                                 : handle.toString();
                if (response != 0 || m_session.isEmpty()) {
                    giveUp(
                        QStringLiteral("the desktop portal would not open a shortcut session (response %1)")
                            .arg(response));
                    return;
                }
                // A desktop that took the shortcuts with the session has bound them; asked again, it
                // would open its settings for the person instead.
                const QStringList bound = shortcutIds(results);
                if (!bound.isEmpty()) {
                    finishBinding(QStringLiteral("with the session"), bound);
                    return;
                }
                bindShortcuts(shortcuts);
            });
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"), kSessionToken);
    // Not in the portal's documentation, but the only way KDE Plasma 5.27 takes shortcuts; a
    // desktop that does not know the option leaves it aside and binds them below.
    options.insert(QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts));
    m_request->start(kShortcutsInterface, QStringLiteral("CreateSession"), {}, options, m_sessionTimeoutMs);
}

void CWaylandShortcutBackend::bindShortcuts(const QList<SPortalShortcut>& shortcuts)
{
    m_request = new CPortalRequest(this);
    connect(m_request, &CPortalRequest::failed, this, &CWaylandShortcutBackend::giveUp);
    connect(m_request, &CPortalRequest::answered, this, [this](uint response, const QVariantMap& results) {
        m_request->deleteLater();
        m_request = nullptr;
        if (response == 1) {
            giveUp(QStringLiteral("the global shortcuts were declined at the desktop's prompt"));
            return;
        }
        if (response != 0) {
            giveUp(QStringLiteral("the desktop portal refused the global shortcuts (response %1)")
                       .arg(response));
            return;
        }
        QStringList bound = shortcutIds(results);
        if (bound.isEmpty())
            bound = m_boundIds.keys();
        finishBinding(QStringLiteral("through the desktop portal"), bound);
    });
    m_request->start(
        kShortcutsInterface, QStringLiteral("BindShortcuts"),
        {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString()}, {},
        m_bindTimeoutMs);
}

void CWaylandShortcutBackend::finishBinding(const QString& how, QStringList bound)
{
    bound.sort();
    qCInfo(lcPlatform).noquote() << "global shortcuts bound" << how << bound.join(QLatin1Char(' '));
    for (CGlobalShortcut* owner : m_wanted.keys())
        owner->setRegistration(CGlobalShortcut::Registered);
    emit bindingFinished(true);
    if (m_changedMeanwhile)
        m_rebind.start();
}

void CWaylandShortcutBackend::closeSession()
{
    m_boundIds.clear();
    if (m_session.isEmpty())
        return;
    // Nothing to wait for: a session the desktop already dropped is just as closed.
    QDBusConnection::sessionBus().send(QDBusMessage::createMethodCall(
        QLatin1String(kPortalService), m_session, QStringLiteral("org.freedesktop.portal.Session"),
        QStringLiteral("Close")));
    m_session.clear();
}

void CWaylandShortcutBackend::giveUp(const QString& reason)
{
    if (m_request)
        m_request->deleteLater();
    m_request = nullptr;
    closeSession();
    qCWarning(lcPlatform).noquote() << "no global shortcuts through the desktop:" << reason
                                    << "- bind the command-line actions in the desktop's settings instead";
    for (CGlobalShortcut* owner : m_wanted.keys())
        owner->setRegistration(CGlobalShortcut::Unsupported);
    emit bindingFinished(false);
    if (m_changedMeanwhile)
        m_rebind.start();
}

void CWaylandShortcutBackend::onActivated(const QDBusObjectPath& session, const QString& shortcutId,
                                          qulonglong, const QVariantMap&)
{
    if (session.path() != m_session)
        return;
    const QPointer<CGlobalShortcut> owner = m_boundIds.value(shortcutId);
    if (owner)
        owner->trigger();
    else
        qCDebug(lcPlatform) << "the desktop activated an unknown global shortcut" << shortcutId;
}

std::unique_ptr<CAbstractShortcutBackend> createWaylandShortcutBackend()
{
    return std::make_unique<CWaylandShortcutBackend>();
}

} // namespace BL::Platform

QDBusArgument& operator<<(QDBusArgument& argument, const BL::Platform::SPortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, BL::Platform::SPortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}
