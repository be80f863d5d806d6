// The Wayland hotkeys bound through the desktop's GlobalShortcuts portal, against a portal of our
// own on a private session bus: what is bound, which hotkey a press fires, and how a refusal or
// a portal that never answers ends.
#include "platform/globalshortcut.h"
#include "platform/globalshortcut_wayland.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

using BL::Platform::CWaylandShortcutBackend;
using BL::Platform::SPortalShortcut;

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

// The portal's side of the conversation. It lives on a thread of its own (the backend asks with
// a blocking call), so the test reads what it recorded under the lock.
class CFakeShortcutPortal : public QDBusVirtualObject
{
public:
    explicit CFakeShortcutPortal(const QDBusConnection& connection) : m_connection(connection) {}

    void reset(bool answerCall, bool answerSession, bool answerBind, uint bindResponse)
    {
        QMutexLocker lock(&m_mutex);
        m_answerCall = answerCall;
        m_answerSession = answerSession;
        m_answerBind = answerBind;
        m_bindResponse = bindResponse;
        m_bindWithSession = false;
        m_binds.clear();
        m_sessionShortcuts.clear();
        m_sessions.clear();
        m_closed.clear();
        m_held.clear();
    }
    // As KDE Plasma 5.27: binds what CreateSession brings and answers with it.
    void setBindWithSession()
    {
        QMutexLocker lock(&m_mutex);
        m_bindWithSession = true;
    }
    void setAnswerBind(bool answer)
    {
        QMutexLocker lock(&m_mutex);
        m_answerBind = answer;
    }
    // Sends the answers kept back so far, as a desktop whose prompt the person finally closed.
    void release()
    {
        QMutexLocker lock(&m_mutex);
        for (const QDBusMessage& answer : qAsConst(m_held))
            QVERIFY(m_connection.send(answer));
        m_held.clear();
    }
    QList<QList<SPortalShortcut>> binds() const
    {
        QMutexLocker lock(&m_mutex);
        return m_binds;
    }
    QList<QList<SPortalShortcut>> sessionShortcuts() const
    {
        QMutexLocker lock(&m_mutex);
        return m_sessionShortcuts;
    }
    QStringList sessions() const
    {
        QMutexLocker lock(&m_mutex);
        return m_sessions;
    }
    QStringList closed() const
    {
        QMutexLocker lock(&m_mutex);
        return m_closed;
    }

    void activate(const QString& session, const QString& id)
    {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("Activated"));
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << QVariantMap();
        QVERIFY(m_connection.send(signal));
    }

    QString introspect(const QString&) const override { return QString(); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        QMutexLocker lock(&m_mutex);
        const QString member = message.member();
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties") && member == "Get" &&
            message.arguments().value(0).toString() == kInterface) {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(uint(1)))));
            return true;
        }
        if (message.interface() == QLatin1String("org.freedesktop.portal.Session") && member == "Close") {
            m_closed << message.path();
            connection.send(message.createReply());
            return true;
        }
        if (message.interface() != kInterface)
            return false;
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().constLast());
        const QString request =
            QStringLiteral("%1/request/%2/%3").arg(kPath, sender, options.value("handle_token").toString());
        QVariantMap results;
        bool answer = false;
        uint response = 0;
        if (member == "CreateSession") {
            const QString session = QStringLiteral("%1/session/%2/%3")
                                        .arg(kPath, sender, options.value("session_handle_token").toString());
            m_sessions << session;
            results.insert(QStringLiteral("session_handle"), session);
            QList<SPortalShortcut> shortcuts;
            options.value(QStringLiteral("shortcuts")).value<QDBusArgument>() >> shortcuts;
            m_sessionShortcuts << shortcuts;
            if (m_bindWithSession)
                results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts));
            answer = m_answerSession;
        } else if (member == "BindShortcuts") {
            QList<SPortalShortcut> shortcuts;
            message.arguments().value(1).value<QDBusArgument>() >> shortcuts;
            m_binds << shortcuts;
            answer = m_answerBind;
            response = m_bindResponse;
        } else {
            return false;
        }
        if (!m_answerCall)
            return true;
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QDBusMessage signal =
            QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"), "Response");
        signal << response << results;
        if (answer)
            connection.send(signal);
        else
            m_held << signal;
        return true;
    }

private:
    QDBusConnection m_connection;
    mutable QMutex m_mutex;
    bool m_answerCall = true;
    bool m_answerSession = true;
    bool m_answerBind = true;
    uint m_bindResponse = 0;
    bool m_bindWithSession = false;
    QList<QList<SPortalShortcut>> m_binds;
    QList<QList<SPortalShortcut>> m_sessionShortcuts;
    QStringList m_sessions;
    QStringList m_closed;
    QList<QDBusMessage> m_held;
};

// A hotkey as CGlobalShortcut holds it, registered with the backend under test.
struct SHotkey
{
    SHotkey(const QString& id, const QString& description)
    {
        shortcut.setObjectName(id);
        shortcut.setDescription(description);
    }
    void bind(CWaylandShortcutBackend& backend, const QString& sequence)
    {
        shortcut.setRegistration(backend.registerShortcut(&shortcut, QKeySequence(sequence)));
    }
    CGlobalShortcut shortcut{QKeySequence()};
    QSignalSpy activated{&shortcut, &CGlobalShortcut::activated};
};

QVariantMap propertiesOf(const QList<SPortalShortcut>& shortcuts, const QString& id)
{
    for (const SPortalShortcut& shortcut : shortcuts)
        if (shortcut.id == id)
            return shortcut.properties;
    return {};
}

} // namespace

class TestPortalShortcuts : public QObject
{
    Q_OBJECT

public slots:
    void onActivated(const QDBusObjectPath&, const QString& id, qulonglong, const QVariantMap&)
    {
        m_heard << id;
    }

private slots:
    void initTestCase()
    {
        // A private session bus: nothing of the machine's own desktop may answer.
        m_bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        QVERIFY2(m_bus.waitForStarted(5000), "dbus-daemon did not start");
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine() || m_bus.state() == QProcess::NotRunning, 10000);
        const QString address = QString::fromLocal8Bit(m_bus.readLine()).trimmed();
        QVERIFY2(address.startsWith(QLatin1String("unix:")), qPrintable(address));
        // Before anything asks for the session bus, which is then this one.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());

        QDBusConnection portal = QDBusConnection::connectToBus(address, QStringLiteral("portal"));
        QVERIFY(portal.isConnected());
        m_portal = std::make_unique<CFakeShortcutPortal>(portal);
        QVERIFY(portal.registerVirtualObject(kPath, m_portal.get(), QDBusConnection::SubPath));
        QVERIFY(portal.registerService(kService));
        m_portalThread.start();
        m_portal->moveToThread(&m_portalThread);
        QVERIFY(QDBusConnection::sessionBus().connect(
            kService, kPath, kInterface, QStringLiteral("Activated"), this,
            SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap))));
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
        m_portalThread.quit();
        QVERIFY(m_portalThread.wait(10000));
        m_portal.reset();
        m_bus.kill();
        m_bus.waitForFinished(5000);
    }

    void bindsEveryHotkeyAndFiresTheOnePressed()
    {
        m_portal->reset(true, true, true, 0);
        CWaylandShortcutBackend backend;
        QSignalSpy finished(&backend, &CWaylandShortcutBackend::bindingFinished);
        SHotkey single(QStringLiteral("single_shot_shortcut"), QStringLiteral("single shot"));
        SHotkey local(QStringLiteral("local_shot_shortcut"), QStringLiteral("local shot"));
        SHotkey unnamed{QString(), QString()};
        single.bind(backend, QStringLiteral("Ctrl+Alt+P"));
        local.bind(backend, QStringLiteral("Meta+Print"));
        unnamed.bind(backend, QStringLiteral("Ctrl+Shift+F12"));
        QCOMPARE(single.shortcut.registration(), CGlobalShortcut::Registered);

        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(finished.first().first().toBool(), true);
        // The three arrive one by one, but the desktop sees one session with all of them.
        QCOMPARE(m_portal->sessions().size(), 1);
        QCOMPARE(m_portal->binds().size(), 1);
        const QList<SPortalShortcut> bound = m_portal->binds().first();
        QCOMPARE(bound.size(), 3);
        QCOMPARE(propertiesOf(bound, "single_shot_shortcut").value("preferred_trigger").toString(),
                 QStringLiteral("CTRL+ALT+p"));
        QCOMPARE(propertiesOf(bound, "single_shot_shortcut").value("description").toString(),
                 QStringLiteral("single shot"));
        QCOMPARE(propertiesOf(bound, "local_shot_shortcut").value("preferred_trigger").toString(),
                 QStringLiteral("LOGO+Print"));
        QCOMPARE(propertiesOf(bound, "shortcut1").value("preferred_trigger").toString(),
                 QStringLiteral("CTRL+SHIFT+F12"));
        QCOMPARE(single.shortcut.registration(), CGlobalShortcut::Registered);

        // A press of another program's session is not ours; ours fires its own hotkey, once.
        const QString session = m_portal->sessions().first();
        m_portal->activate(kPath + QStringLiteral("/session/other/x"),
                           QStringLiteral("single_shot_shortcut"));
        m_portal->activate(session, QStringLiteral("local_shot_shortcut"));
        QTRY_COMPARE_WITH_TIMEOUT(local.activated.count(), 1, 10000);
        passMarker();
        QCOMPARE(local.activated.count(), 1);
        QCOMPARE(single.activated.count(), 0);
        QCOMPARE(unnamed.activated.count(), 0);

        // New options: the session goes and comes back under the same name (KDE Plasma files the
        // keys under it), holding the new combination.
        backend.unregisterShortcut(&single.shortcut);
        single.bind(backend, QStringLiteral("Ctrl+Alt+M"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
        QCOMPARE(finished.last().first().toBool(), true);
        QCOMPARE(m_portal->binds().size(), 2);
        QCOMPARE(propertiesOf(m_portal->binds().last(), "single_shot_shortcut")
                     .value("preferred_trigger")
                     .toString(),
                 QStringLiteral("CTRL+ALT+m"));
        QTRY_VERIFY_WITH_TIMEOUT(m_portal->closed().contains(session), 10000);
        QCOMPARE(m_portal->sessions().size(), 2);
        QCOMPARE(m_portal->sessions().last(), session);
        // Each press fires its own hotkey once: the local shot's comes after the single shot's.
        m_portal->activate(session, QStringLiteral("single_shot_shortcut"));
        m_portal->activate(session, QStringLiteral("local_shot_shortcut"));
        QTRY_COMPARE_WITH_TIMEOUT(local.activated.count(), 2, 10000);
        QCOMPARE(single.activated.count(), 1);
    }

    void desktopBindingWithTheSessionIsNotAskedAgain()
    {
        // KDE Plasma 5.27 ignores the shortcuts of BindShortcuts and, asked, opens its settings
        // instead: only those given with the session are bound.
        m_portal->reset(true, true, true, 0);
        m_portal->setBindWithSession();
        CWaylandShortcutBackend backend;
        QSignalSpy finished(&backend, &CWaylandShortcutBackend::bindingFinished);
        SHotkey single(QStringLiteral("single_shot_shortcut"), QStringLiteral("single shot"));
        SHotkey local(QStringLiteral("local_shot_shortcut"), QStringLiteral("local shot"));
        single.bind(backend, QStringLiteral("Ctrl+Alt+P"));
        local.bind(backend, QStringLiteral("Meta+Print"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(m_portal->sessionShortcuts().size(), 1);
        const QList<SPortalShortcut> bound = m_portal->sessionShortcuts().first();
        QCOMPARE(bound.size(), 2);
        QCOMPARE(propertiesOf(bound, "single_shot_shortcut").value("preferred_trigger").toString(),
                 QStringLiteral("CTRL+ALT+p"));
        QCOMPARE(propertiesOf(bound, "local_shot_shortcut").value("description").toString(),
                 QStringLiteral("local shot"));
        // The binding would have been asked for before the round finished.
        QCOMPARE(m_portal->binds().size(), 0);
        m_portal->activate(m_portal->sessions().first(), QStringLiteral("single_shot_shortcut"));
        QTRY_COMPARE_WITH_TIMEOUT(single.activated.count(), 1, 10000);
        QCOMPARE(local.activated.count(), 0);
    }

    void changeWhileTheDesktopAsksIsBoundAfterwards()
    {
        m_portal->reset(true, true, false, 0);
        CWaylandShortcutBackend backend;
        QSignalSpy finished(&backend, &CWaylandShortcutBackend::bindingFinished);
        SHotkey single(QStringLiteral("single_shot_shortcut"), QStringLiteral("single shot"));
        single.bind(backend, QStringLiteral("Ctrl+Alt+P"));
        QTRY_COMPARE_WITH_TIMEOUT(m_portal->binds().size(), 1, 20000);
        // The person is still looking at the desktop's prompt when the options change.
        backend.unregisterShortcut(&single.shortcut);
        single.bind(backend, QStringLiteral("Ctrl+Alt+M"));
        passBackendRound();
        QCOMPARE(m_portal->binds().size(), 1);
        m_portal->setAnswerBind(true);
        m_portal->release();

        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
        QCOMPARE(finished.at(0).first().toBool(), true);
        QCOMPARE(finished.at(1).first().toBool(), true);
        QCOMPARE(m_portal->binds().size(), 2);
        QCOMPARE(propertiesOf(m_portal->binds().last(), "single_shot_shortcut")
                     .value("preferred_trigger")
                     .toString(),
                 QStringLiteral("CTRL+ALT+m"));
        m_portal->activate(m_portal->sessions().last(), QStringLiteral("single_shot_shortcut"));
        QTRY_COMPARE_WITH_TIMEOUT(single.activated.count(), 1, 10000);
    }

    void refusalLeavesTheHotkeysUnsupported_data()
    {
        QTest::addColumn<uint>("response");
        QTest::newRow("declined by the person") << 1u;
        QTest::newRow("refused by the desktop") << 2u;
    }

    void refusalLeavesTheHotkeysUnsupported()
    {
        QFETCH(uint, response);
        m_portal->reset(true, true, true, response);
        CWaylandShortcutBackend backend;
        QSignalSpy finished(&backend, &CWaylandShortcutBackend::bindingFinished);
        SHotkey single(QStringLiteral("single_shot_shortcut"), QStringLiteral("single shot"));
        QSignalSpy changed(&single.shortcut, &CGlobalShortcut::registrationChanged);
        single.bind(backend, QStringLiteral("Ctrl+Alt+P"));
        changed.clear();

        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(single.shortcut.registration(), CGlobalShortcut::Unsupported);
        // The shell hears of it (and shows its balloon).
        QCOMPARE(changed.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_portal->closed().contains(m_portal->sessions().value(0)), 10000);
        m_portal->activate(m_portal->sessions().value(0), QStringLiteral("single_shot_shortcut"));
        passMarker();
        QCOMPARE(single.activated.count(), 0);
    }

    void silentPortalEndsInTime_data()
    {
        QTest::addColumn<bool>("answerCall");
        QTest::addColumn<bool>("answerSession");
        QTest::addColumn<bool>("answerBind");
        QTest::newRow("no reply to the call") << false << true << true;
        QTest::newRow("no session") << true << false << true;
        QTest::newRow("no answer to the binding") << true << true << false;
    }

    void silentPortalEndsInTime()
    {
        QFETCH(bool, answerCall);
        QFETCH(bool, answerSession);
        QFETCH(bool, answerBind);
        m_portal->reset(answerCall, answerSession, answerBind, 0);
        CWaylandShortcutBackend backend(1000, 1000);
        QSignalSpy finished(&backend, &CWaylandShortcutBackend::bindingFinished);
        SHotkey single(QStringLiteral("single_shot_shortcut"), QStringLiteral("single shot"));
        single.bind(backend, QStringLiteral("Ctrl+Alt+P"));
        // The call itself is given five seconds, the answer one more here.
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(single.shortcut.registration(), CGlobalShortcut::Unsupported);
    }

private:
    // The portal's presses reach every listener in the order sent: once a later press of no
    // session reached us, the backend has had each one sent before it.
    void passMarker()
    {
        m_heard.clear();
        m_portal->activate(kPath + QStringLiteral("/session/nobody/marker"), QStringLiteral("marker"));
        QTRY_VERIFY_WITH_TIMEOUT(m_heard.contains(QStringLiteral("marker")), 10000);
    }

    // The backend binds from a zero-interval timer; one started after it runs after it, and the
    // portal answers a call on the same connection only after it read all that came before.
    void passBackendRound()
    {
        QTimer later;
        later.setSingleShot(true);
        later.setInterval(0);
        QSignalSpy fired(&later, &QTimer::timeout);
        later.start();
        QVERIFY(fired.wait(10000));
        QDBusMessage probe = QDBusMessage::createMethodCall(
            kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        probe << QStringLiteral("org.example.Nothing") << QStringLiteral("version");
        const QDBusMessage reply = QDBusConnection::sessionBus().call(probe, QDBus::Block, 10000);
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QVERIFY2(reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.NoReply"),
                 qPrintable(reply.errorMessage()));
    }

    QStringList m_heard;
    QProcess m_bus;
    QThread m_portalThread;
    std::unique_ptr<CFakeShortcutPortal> m_portal;
};

QTEST_MAIN(TestPortalShortcuts)
#include "tst_portalshortcuts.moc"
