// The tray of desktops without an XEmbed tray (Plasma on Wayland, GNOME with the AppIndicator
// extension): the program registers a StatusNotifierItem over D-Bus and exports its menu as a
// D-Bus menu. Here a small watcher and host of our own on a private session bus stand in for
// the desktop's panel; the X server has no XEmbed tray at all.
#include "x11session.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
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
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    QStringList registeredItems() const { return m_items; }
    bool hostRegistered() const { return !m_hosts.isEmpty(); }
    int protocolVersion() const { return 0; }
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

private:
    QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& args);
    QVariant itemProperty(const QString& service, const QString& name);

    QProcess m_bus;
    QString m_address;
    CStatusNotifierWatcher m_watcher;
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

QVariant TestStatusNotifier::itemProperty(const QString& service, const QString& name)
{
    const QDBusMessage reply = call(service, QStringLiteral("/StatusNotifierItem"),
                                    QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {QStringLiteral("org.kde.StatusNotifierItem"), name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

void TestStatusNotifier::itemRegistersAndItsMenuQuits()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    CProgram program(env);
    QVERIFY(program.start());
    QTRY_VERIFY2_WITH_TIMEOUT(!m_watcher.registeredItems().isEmpty() || !program.isRunning(),
                              qPrintable(program.errorOutput()), 60000);
    QVERIFY2(program.isRunning(), qPrintable(program.errorOutput()));
    QVERIFY2(visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty(), "the program found no tray");
    QVERIFY2(trayIconWindows().isEmpty(), "an XEmbed icon appeared where there is no such tray");

    const QString item = m_watcher.registeredItems().constFirst();
    const QString owner = m_watcher.itemOwners().constFirst();
    QCOMPARE(itemProperty(item, QStringLiteral("Status")).toString(), QStringLiteral("Active"));

    // The icon travels as ARGB pixmaps, at least one of them a real picture.
    const QDBusArgument pixmaps = itemProperty(item, QStringLiteral("IconPixmap")).value<QDBusArgument>();
    QList<QSize> sizes;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray argb;
        pixmaps.beginStructure();
        pixmaps >> width >> height >> argb;
        pixmaps.endStructure();
        QCOMPARE(argb.size(), width * height * 4);
        sizes << QSize(width, height);
    }
    pixmaps.endArray();
    QVERIFY2(!sizes.isEmpty() && sizes.constFirst().width() >= 16, "the item has no icon");

    // The menu, as a panel reads it: the ten entries in their order, &Quit last.
    const QDBusObjectPath menuPath = itemProperty(item, QStringLiteral("Menu")).value<QDBusObjectPath>();
    QVERIFY2(!menuPath.path().isEmpty() && menuPath.path() != QLatin1String("/"), "the item has no menu");
    const QDBusMessage layout = call(owner, menuPath.path(), QStringLiteral("com.canonical.dbusmenu"),
                                     QStringLiteral("GetLayout"), {0, -1, QStringList()});
    QVERIFY2(layout.type() == QDBusMessage::ReplyMessage && layout.arguments().size() == 2,
             qPrintable(layout.errorMessage()));
    SMenuNode root;
    readNode(layout.arguments().at(1).value<QDBusArgument>(), &root);
    QStringList labels;
    int quitId = -1;
    for (const SMenuNode& entry : root.children) {
        if (entry.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator"))
            continue;
        // The D-Bus menu marks mnemonics with "_" where Qt has "&".
        const QString label = entry.properties.value(QStringLiteral("label")).toString().replace('_', '&');
        labels << label;
        if (label == QLatin1String("&Quit"))
            quitId = entry.id;
    }
    const QStringList expected = {"&Upload file...",
                                  "Upload image from U&RL...",
                                  "&History",
                                  "Sign in\u2026",
                                  "&Keyboard shortcuts...",
                                  "Choose s&torage dir...",
                                  "Mute &sound",
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

QTEST_GUILESS_MAIN(TestStatusNotifier)
#include "tst_statusnotifier.moc"
