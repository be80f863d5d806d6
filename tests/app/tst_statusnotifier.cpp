// The tray of desktops without an XEmbed tray (Plasma on Wayland, GNOME with the AppIndicator
// extension): the program registers a StatusNotifierItem over D-Bus and exports its menu as a
// D-Bus menu. Here a small watcher and host of our own on a private session bus stand in for
// the desktop's panel; the X server has no XEmbed tray at all.
#include "serviceprocess.h"
#include "x11session.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QImage>
#include <QRegularExpression>
#include <QtTest>

using namespace BL::Test;

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// The panel's side of the protocol: items and hosts register here, and the items' owners ask
// whether a host is there before they offer an item at all.
class CStatusNotifierWatcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ answerHostQuery)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    QStringList registeredItems() const { return m_items; }
    bool hostRegistered() const { return !m_hosts.isEmpty(); }
    // The property as the bus reads it: counts the times an owner was told there is no host.
    bool answerHostQuery() const
    {
        if (m_hosts.isEmpty())
            ++m_noHostAnswers;
        return !m_hosts.isEmpty();
    }
    int noHostAnswers() const { return m_noHostAnswers; }
    int protocolVersion() const { return 0; }
    // As before the panel has come up: the watcher is there, no host yet.
    void forgetHosts() { m_hosts.clear(); }
    // The unique bus names of the items' owners, in order of registration.
    QStringList itemOwners() const { return m_owners; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
    {
        // An item names either its own bus name (its object at /StatusNotifierItem) or a path.
        const QString item = service.startsWith(QLatin1Char('/')) ? message.service() + service : service;
        m_items << item;
        m_owners << message.service();
        emit StatusNotifierItemRegistered(item);
    }
    void RegisterStatusNotifierHost(const QString& service)
    {
        m_hosts << service;
        emit StatusNotifierHostRegistered();
    }

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList m_items;
    QStringList m_owners;
    QStringList m_hosts;
    mutable int m_noHostAnswers = 0;
};

// The desktop's notification server: the program's balloons arrive here.
class CNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct SNotification
    {
        QString summary;
        QString body;
    };
    QList<SNotification> received() const { return m_received; }

public slots:
    uint Notify(const QString& /*appName*/, uint /*replacesId*/, const QString& /*appIcon*/,
                const QString& summary, const QString& body, const QStringList& /*actions*/,
                const QVariantMap& /*hints*/, int /*timeout*/)
    {
        m_received << SNotification{summary, body};
        return static_cast<uint>(m_received.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion)
    {
        vendor = QStringLiteral("Brightloom tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("test-notifications");
    }
    void CloseNotification(uint /*id*/) {}

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& actionKey);

private:
    QList<SNotification> m_received;
};

// One entry of a D-Bus menu layout: (id, properties, children).
struct SMenuNode
{
    int id = 0;
    QVariantMap properties;
    QList<SMenuNode> children;
};

void readNode(const QDBusArgument& arg, SMenuNode* node)
{
    arg.beginStructure();
    arg >> node->id >> node->properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        SMenuNode childNode;
        readNode(child.variant().value<QDBusArgument>(), &childNode);
        node->children << childNode;
    }
    arg.endArray();
    arg.endStructure();
}

} // namespace

class TestStatusNotifier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void itemRegistersAndItsMenuQuits();
    void uploadAnimatesTheItemAndBalloonsBecomeNotifications();
    void hostArrivingAfterTheStartIsAccepted();

public slots:
    void onNewIcon() { ++m_newIcons; }

private:
    // The environment of a program on the private bus.
    QProcessEnvironment busEnvironment() const;
    // Starts the program and waits for its item; fills `item` and `owner`.
    void startRegistered(CProgram& program, QString* item, QString* owner);
    QByteArray iconPixmaps(const QString& item);
    QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& args);
    QVariant itemProperty(const QString& service, const QString& name);
    // The ids of the menu's entries by label ("&" marks the mnemonic); `labels` in menu order.
    QMap<QString, int> menuEntryIds(const QString& owner, const QString& menuPath,
                                    QStringList* labels = nullptr);

    QProcess m_bus;
    QString m_address;
    CStatusNotifierWatcher m_watcher;
    CNotificationServer m_notifications;
    int m_newIcons = 0;
};

void TestStatusNotifier::initTestCase()
{
    // A private session bus: nothing of the machine's own desktop may answer.
    m_bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
    QVERIFY2(m_bus.waitForStarted(5000), "dbus-daemon did not start");
    QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine() || m_bus.state() == QProcess::NotRunning, 10000);
    m_address = QString::fromLocal8Bit(m_bus.readLine()).trimmed();
    QVERIFY2(m_address.startsWith(QLatin1String("unix:")), qPrintable(m_address));

    QDBusConnection watcher = QDBusConnection::connectToBus(m_address, QStringLiteral("watcher"));
    QVERIFY2(watcher.isConnected(), qPrintable(watcher.lastError().message()));
    QVERIFY(watcher.registerObject(kWatcherPath, &m_watcher,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                       QDBusConnection::ExportAllProperties));
    QVERIFY(watcher.registerService(kWatcherService));

    // The host is a client of the watcher like any panel: its own bus name, registered by call.
    QDBusConnection host = QDBusConnection::connectToBus(m_address, QStringLiteral("host"));
    QVERIFY(host.isConnected());
    const QString hostName =
        QStringLiteral("org.kde.StatusNotifierHost-%1").arg(QCoreApplication::applicationPid());
    QVERIFY(host.registerService(hostName));
    host.asyncCall(QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherService,
                                                  QStringLiteral("RegisterStatusNotifierHost"))
                   << hostName);
    QTRY_VERIFY_WITH_TIMEOUT(m_watcher.hostRegistered(), 10000);

    QVERIFY(watcher.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &m_notifications,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
    QVERIFY(watcher.registerService(QStringLiteral("org.freedesktop.Notifications")));
}

void TestStatusNotifier::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("watcher"));
    QDBusConnection::disconnectFromBus(QStringLiteral("host"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    m_bus.terminate();
    m_bus.waitForFinished(5000);
}

QDBusMessage TestStatusNotifier::call(const QString& service, const QString& path, const QString& interface,
                                      const QString& method, const QVariantList& args)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    // The program is another process: a blocking call cannot wait on ourselves.
    return QDBusConnection::connectToBus(m_address, QStringLiteral("client"))
        .call(message, QDBus::Block, 10000);
}

QMap<QString, int> TestStatusNotifier::menuEntryIds(const QString& owner, const QString& menuPath,
                                                    QStringList* labels)
{
    QMap<QString, int> ids;
    const QDBusMessage layout = call(owner, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                     QStringLiteral("GetLayout"), {0, -1, QStringList()});
    if (layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() != 2) {
        qWarning() << "GetLayout failed:" << layout.errorMessage();
        return ids;
    }
    SMenuNode root;
    readNode(layout.arguments().at(1).value<QDBusArgument>(), &root);
    for (const SMenuNode& entry : root.children) {
        if (entry.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator"))
            continue;
        // The D-Bus menu marks mnemonics with "_" where Qt has "&".
        const QString label = entry.properties.value(QStringLiteral("label")).toString().replace('_', '&');
        if (labels)
            *labels << label;
        ids.insert(label, entry.id);
    }
    return ids;
}

QVariant TestStatusNotifier::itemProperty(const QString& service, const QString& name)
{
    const QDBusMessage reply = call(service, QStringLiteral("/StatusNotifierItem"),
                                    QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {QStringLiteral("org.kde.StatusNotifierItem"), name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QProcessEnvironment TestStatusNotifier::busEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    return env;
}

void TestStatusNotifier::startRegistered(CProgram& program, QString* item, QString* owner)
{
    const int before = m_watcher.registeredItems().size();
    QVERIFY(program.start());
    QTRY_VERIFY2_WITH_TIMEOUT(m_watcher.registeredItems().size() > before || !program.isRunning(),
                              qPrintable(program.errorOutput()), 60000);
    QVERIFY2(program.isRunning(), qPrintable(program.errorOutput()));
    QVERIFY2(visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty(), "the program found no tray");
    QVERIFY2(trayIconWindows().isEmpty(), "an XEmbed icon appeared where there is no such tray");
    *item = m_watcher.registeredItems().constLast();
    *owner = m_watcher.itemOwners().constLast();
}

QByteArray TestStatusNotifier::iconPixmaps(const QString& item)
{
    const QDBusArgument pixmaps = itemProperty(item, QStringLiteral("IconPixmap")).value<QDBusArgument>();
    QByteArray all;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray argb;
        pixmaps.beginStructure();
        pixmaps >> width >> height >> argb;
        pixmaps.endStructure();
        if (argb.size() != width * height * 4 || width < 16)
            return {};
        all += argb;
    }
    pixmaps.endArray();
    return all;
}

void TestStatusNotifier::itemRegistersAndItsMenuQuits()
{
    CProgram program(busEnvironment());
    QString item;
    QString owner;
    startRegistered(program, &item, &owner);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(itemProperty(item, QStringLiteral("Status")).toString(), QStringLiteral("Active"));

    // The icon travels as ARGB pixmaps.
    QVERIFY2(!iconPixmaps(item).isEmpty(), "the item has no icon");

    // The menu, as a panel reads it: the entries and submenus in their order, &Quit last.
    const QDBusObjectPath menuPath = itemProperty(item, QStringLiteral("Menu")).value<QDBusObjectPath>();
    QVERIFY2(!menuPath.path().isEmpty() && menuPath.path() != QLatin1String("/"), "the item has no menu");
    QStringList labels;
    const QMap<QString, int> ids = menuEntryIds(owner, menuPath.path(), &labels);
    const int quitId = ids.value(QStringLiteral("&Quit"), -1);
    const QStringList expected = {"&Upload file...",
                                  "Upload image from U&RL...",
                                  "&History",
                                  "Sign in\u2026",
                                  "&Keyboard shortcuts...",
                                  "Choose s&torage dir...",
                                  "Mute &sound",
                                  "Upload &to",
                                  "R&ecent shares",
                                  "Ex&pire new shares",
                                  "Copy te&xt from area",
                                  "Text languages",
                                  "Check for &Updates",
                                  "&About Brightloom",
                                  "&Quit"};
    QCOMPARE(labels, expected);

    // Choosing &Quit there ends the program as the menu of the XEmbed tray does.
    const QDBusMessage event =
        call(owner, menuPath.path(), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("Event"),
             {quitId, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    QVERIFY2(event.type() == QDBusMessage::ReplyMessage, qPrintable(event.errorMessage()));
    QVERIFY2(program.waitForExit(20000), "&Quit from the D-Bus menu did not end the program");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    // Nothing of the audio back ends on a machine without a sound server: one line at most.
    const QString errors = program.errorOutput();
    QVERIFY2(!errors.contains(QLatin1String("PulseAudio"), Qt::CaseInsensitive), qPrintable(errors));
    QVERIFY2(!errors.contains(QLatin1String("pa_context"), Qt::CaseInsensitive), qPrintable(errors));
    QCOMPARE(errors.count(QStringLiteral("sounds are off")), 1);
}

void TestStatusNotifier::uploadAnimatesTheItemAndBalloonsBecomeNotifications()
{
    QTemporaryDir root;
    CServiceProcess service;
    QVERIFY2(service.start(root.filePath(QStringLiteral("service"))), qPrintable(service.log()));
    QProcessEnvironment env = busEnvironment();
    env.insert(QStringLiteral("BL_SERVICE_HOST"), service.host());
    CProgram program(env);
    QString item;
    QString owner;
    startRegistered(program, &item, &owner);
    if (QTest::currentTestFailed())
        return;
    const QByteArray standardIcon = iconPixmaps(item);
    QVERIFY(!standardIcon.isEmpty());
    QDBusConnection client = QDBusConnection::connectToBus(m_address, QStringLiteral("client"));
    QVERIFY(client.connect(owner, QStringLiteral("/StatusNotifierItem"),
                           QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("NewIcon"), this,
                           SLOT(onNewIcon())));

    // A picture handed over as the file manager does: uploaded with the tray animations.
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(40, 120, 200));
    const QString file = root.filePath(QStringLiteral("picture.png"));
    QVERIFY(picture.save(file));
    m_newIcons = 0;
    const int notificationsBefore = m_notifications.received().size();
    QProcess uploader;
    uploader.setProcessEnvironment(env);
    uploader.start(QStringLiteral(BL_BINARY_DIR "/app/brightloom-upload"), {file});
    QVERIFY(uploader.waitForFinished(20000));
    QCOMPARE(uploader.exitCode(), 0);

    // The balloon reaches the desktop as a notification, headed by the program's title.
    QTRY_VERIFY2_WITH_TIMEOUT(m_notifications.received().size() > notificationsBefore,
                              qPrintable(program.errorOutput()), 30000);
    const auto done = m_notifications.received().at(notificationsBefore);
    QCOMPARE(done.summary, QStringLiteral("Brightloom"));
    QVERIFY2(done.body.startsWith(QLatin1String("Screenshot succesfully uploaded.")), qPrintable(done.body));
    // The icon moved meanwhile (uploading, then uploaded) and is the standard one again after 5 s.
    QVERIFY2(m_newIcons >= 2, qPrintable(QString::number(m_newIcons)));
    QTRY_COMPARE_WITH_TIMEOUT(iconPixmaps(item), standardIcon, 15000);

    // From the D-Bus menu, "Check for &Updates" confirms the result as a notification too.
    const QDBusObjectPath menuPath = itemProperty(item, QStringLiteral("Menu")).value<QDBusObjectPath>();
    const int updates = menuEntryIds(owner, menuPath.path()).value(QStringLiteral("Check for &Updates"), -1);
    QVERIFY(updates >= 0);
    const QDBusMessage event =
        call(owner, menuPath.path(), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("Event"),
             {updates, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    QVERIFY2(event.type() == QDBusMessage::ReplyMessage, qPrintable(event.errorMessage()));
    QTRY_VERIFY2_WITH_TIMEOUT(m_notifications.received().constLast().body ==
                                  QLatin1String("Brightloom is up to date."),
                              qPrintable(program.errorOutput()), 30000);

    program.terminate();
    QVERIFY(program.waitForExit(20000));
}

void TestStatusNotifier::hostArrivingAfterTheStartIsAccepted()
{
    // At the beginning of a session the autostart entry may start the program before the panel.
    m_watcher.forgetHosts();
    CProgram program(busEnvironment());
    const int before = m_watcher.registeredItems().size();
    QVERIFY(program.start());
    // Told there is no host, the program asks again rather than offering its item.
    const int answersBefore = m_watcher.noHostAnswers();
    QTRY_VERIFY2_WITH_TIMEOUT(m_watcher.noHostAnswers() >= answersBefore + 2 || !program.isRunning(),
                              qPrintable(program.errorOutput()), 30000);
    QVERIFY2(program.isRunning(), qPrintable(program.errorOutput()));
    QCOMPARE(m_watcher.registeredItems().size(), before);
    QVERIFY(visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty());

    QDBusConnection host = QDBusConnection::connectToBus(m_address, QStringLiteral("host"));
    host.asyncCall(
        QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherService,
                                       QStringLiteral("RegisterStatusNotifierHost"))
        << QStringLiteral("org.kde.StatusNotifierHost-%1").arg(QCoreApplication::applicationPid()));
    QTRY_VERIFY2_WITH_TIMEOUT(m_watcher.registeredItems().size() > before || !program.isRunning(),
                              qPrintable(program.errorOutput()), 30000);
    QVERIFY2(program.isRunning(), qPrintable(program.errorOutput()));
    QVERIFY(visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty());
    program.terminate();
    QVERIFY(program.waitForExit(20000));
}

QTEST_GUILESS_MAIN(TestStatusNotifier)
#include "tst_statusnotifier.moc"
