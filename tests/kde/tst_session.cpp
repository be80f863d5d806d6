// The real program in a private headless KDE Plasma session on Wayland (scripts/with-kwin.sh):
// its hotkeys bound through KDE's GlobalShortcuts portal and fired through KDE's own shortcut
// service, the screen picture from KDE's Screenshot portal and a drag with KWin's fake input,
// and the tray icon with KDE's StatusNotifier watcher, with no Plasma panel to show it. KWin
// offers no virtual pointer (wlr-virtual-pointer); its fake input drags instead.
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDirIterator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

constexpr int kTimeoutMs = 20000;
const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
// The shortcut service names the component of an unsandboxed caller after its session token, which
// the program keeps the same for every session.
const QString kComponent = QStringLiteral("/component/brightloom");

QDBusMessage callKde(const QString& service, const QString& path, const QString& interface,
                     const QString& method, const QVariantList& args = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
}

QVariant watcherProperty(const QString& name)
{
    const QDBusMessage reply =
        callKde(kWatcher, QStringLiteral("/StatusNotifierWatcher"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {kWatcher, name});
    return reply.arguments().isEmpty() ? QVariant()
                                       : reply.arguments().constFirst().value<QDBusVariant>().variant();
}

// The pictures the service took in since `before` (its files are named by their keys, not by kind).
QList<QImage> newPictures(const QString& dataDir, const QSet<QString>& before)
{
    QList<QImage> pictures;
    QDirIterator it(dataDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QFile f(file);
        if (!before.contains(file) && f.open(QIODevice::ReadOnly) && f.read(8) == "\x89PNG\r\n\x1a\n")
            pictures << QImage(file);
    }
    return pictures;
}

QSet<QString> filesBelow(const QString& dir)
{
    QSet<QString> files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

} // namespace

class TestKdeSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void trayItemReachesTheWatcherWithoutAPanel();
    void hotkeysBoundByKdeShortcutOpensOverlayAndDragUploads();
    void escapeClosesTheShortcutOverlayWithoutUpload();

private:
    bool pointer(const QString& command);
    void invokeSingleShot();

    QTemporaryDir m_root;
    QProcess m_pointer;
    CServiceProcess m_service;
    CPatternWindow m_desktop;
    std::unique_ptr<CProgram> m_program;
};

void TestKdeSession::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_pointer.start(QStringLiteral(BL_FAKE_INPUT), QStringList());
    QVERIFY(m_pointer.waitForReadyRead(10000));
    QCOMPARE(m_pointer.readLine().trimmed(), QByteArray("ready"));
    QVERIFY2(m_service.start(m_root.filePath(QStringLiteral("service"))), qPrintable(m_service.log()));

    // What the shots take: the pattern over the whole output, below everything else.
    m_desktop.showFullScreen();
    QVERIFY(QTest::qWaitForWindowExposed(&m_desktop));
    QCOMPARE(m_desktop.size(), QSize(1024, 768));
    // KDE's backend is the only one: the screen's picture can come from no other.
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    QVERIFY(bus->isServiceRegistered(QStringLiteral("org.freedesktop.impl.portal.desktop.kde")).value());
    for (const char* other :
         {"org.freedesktop.impl.portal.desktop.gtk", "org.freedesktop.impl.portal.desktop.wlr",
          "org.freedesktop.impl.portal.desktop.gnome"})
        QVERIFY2(!bus->isServiceRegistered(QLatin1String(other)).value(), other);

    QProcessEnvironment env = privateUserEnvironment(m_root.filePath(QStringLiteral("user")));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') +
                                                      qEnvironmentVariable("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brightloom.*.debug=true"));
    {
        QSettings stored(m_root.filePath(QStringLiteral("user/config/Brightloom/Brightloom.conf")),
                         QSettings::IniFormat);
        // The welcome screen is left to come up at the start: the hotkey pressed while it covers
        // the desktop must take the desktop, not the dimmed welcome. The one after the upload is
        // seen already.
        stored.setValue("show_paste_help", true);
    }
    m_program = std::make_unique<CProgram>();
    m_program->process().setProcessEnvironment(env);
    QVERIFY(m_program->start());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(
                                 QLatin1String("using the \"wayland\" backends on the \"wayland\" platform")),
                             kTimeoutMs);
}

void TestKdeSession::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
}

void TestKdeSession::cleanupTestCase()
{
    m_program.reset();
    m_service.stop();
    m_pointer.kill();
    m_pointer.waitForFinished();
}

bool TestKdeSession::pointer(const QString& command)
{
    m_pointer.write(command.toLatin1() + '\n');
    if (!m_pointer.waitForReadyRead(5000))
        return false;
    return m_pointer.readLine().trimmed() == "ok";
}

void TestKdeSession::trayItemReachesTheWatcherWithoutAPanel()
{
    // Headless there is no Plasma shell, so no panel to show the item; KDE's watcher (kded)
    // answers that a host is registered all the same, which is all Qt asks before it offers a
    // tray, and the program (which needs one) starts.
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    QVERIFY(bus->isServiceRegistered(kWatcher).value());
    QVERIFY(!bus->isServiceRegistered(QStringLiteral("org.kde.plasmashell")).value());
    QCOMPARE(watcherProperty(QStringLiteral("IsStatusNotifierHostRegistered")), QVariant(true));
    // The item is registered under the program's own connection.
    QTRY_VERIFY_WITH_TIMEOUT(
        !watcherProperty(QStringLiteral("RegisteredStatusNotifierItems")).toStringList().isEmpty(),
        kTimeoutMs);
    const QStringList items = watcherProperty(QStringLiteral("RegisteredStatusNotifierItems")).toStringList();
    QCOMPARE(items.size(), 1);
    const QString service = items.constFirst().section(QLatin1Char('/'), 0, 0);
    QCOMPARE(bus->servicePid(service).value(), uint(m_program->pid()));
    QVERIFY(m_program->isRunning());
}

void TestKdeSession::hotkeysBoundByKdeShortcutOpensOverlayAndDragUploads()
{
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(QLatin1String("global shortcuts bound")),
                             kTimeoutMs);
    // KDE's shortcut service holds them, under the keys the program asked for.
    const QDBusMessage names =
        callKde(QStringLiteral("org.kde.kglobalaccel"), kComponent,
                QStringLiteral("org.kde.kglobalaccel.Component"), QStringLiteral("shortcutNames"));
    QVERIFY2(names.type() == QDBusMessage::ReplyMessage, qPrintable(names.errorMessage()));
    QStringList bound = names.arguments().constFirst().toStringList();
    bound.sort();
    const QStringList hotkeys = {"comparison_shot_shortcut", "drop_widget_shortcut", "local_shot_shortcut",
                                 "single_shot_shortcut", "text_shot_shortcut"};
    QCOMPARE(bound, hotkeys);
    // The portal's backend took them with the session and answered with them.
    QVERIFY2(m_program->errorOutput().contains(QLatin1String("global shortcuts bound with the session ") +
                                               hotkeys.join(QLatin1Char(' '))),
             qPrintable(m_program->errorOutput()));

    // The welcome screen covers the desktop when the hotkey comes.
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(QLatin1String("overlay shown on")),
                             kTimeoutMs);
    // Out of the way of the area: the cursor may be drawn into the screen's picture.
    QVERIFY(pointer(QStringLiteral("move 1020 760")));
    const int overlaysBefore = m_program->errorOutput().count(QLatin1String("overlay shown on"));
    const QSet<QString> before = filesBelow(m_root.filePath(QStringLiteral("service")));
    const QDBusMessage invoked = callKde(
        QStringLiteral("org.kde.kglobalaccel"), kComponent, QStringLiteral("org.kde.kglobalaccel.Component"),
        QStringLiteral("invokeShortcut"), {QStringLiteral("single_shot_shortcut")});
    QCOMPARE(invoked.type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(QLatin1String("screen picture from the portal: QSize(1024, 768)")),
        kTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count(QLatin1String("overlay shown on")),
                              overlaysBefore + 1, kTimeoutMs);

    // Each step is answered once KWin has taken it, and the overlay gets the pointer's events
    // in that order: no pause between them.
    QVERIFY(pointer(QStringLiteral("move 100 100")));
    QVERIFY(pointer(QStringLiteral("press")));
    QVERIFY(pointer(QStringLiteral("move 200 175")));
    QVERIFY(pointer(QStringLiteral("move 300 250")));
    QVERIFY(pointer(QStringLiteral("release")));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(QLatin1String("Screenshot succesfully uploaded.")), kTimeoutMs);
    const QList<QImage> uploads = newPictures(m_root.filePath(QStringLiteral("service")), before);
    QCOMPARE(uploads.size(), 1);
    QCOMPARE(uploads.first().size(), QSize(201, 151));
    const QImage got = uploads.first().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x)
            if (QColor(got.pixel(x, y)) != patternAt(100 + x, 100 + y))
                QFAIL(
                    qPrintable(QStringLiteral("pixel (%1,%2): %3 instead of %4")
                                   .arg(x)
                                   .arg(y)
                                   .arg(QColor(got.pixel(x, y)).name(), patternAt(100 + x, 100 + y).name())));
    QVERIFY(m_program->isRunning());
}

void TestKdeSession::invokeSingleShot()
{
    const int overlaysBefore = m_program->errorOutput().count(QLatin1String("overlay shown on"));
    const QDBusMessage invoked = callKde(
        QStringLiteral("org.kde.kglobalaccel"), kComponent, QStringLiteral("org.kde.kglobalaccel.Component"),
        QStringLiteral("invokeShortcut"), {QStringLiteral("single_shot_shortcut")});
    QCOMPARE(invoked.type(), QDBusMessage::ReplyMessage);
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count(QLatin1String("overlay shown on")),
                              overlaysBefore + 1, kTimeoutMs);
}

void TestKdeSession::escapeClosesTheShortcutOverlayWithoutUpload()
{
    constexpr int kEscape = 1;
    const QString closed = QStringLiteral("overlay closed");
    const QString focused = QStringLiteral("overlay has the keyboard");
    const QString uploaded = QStringLiteral("Screenshot succesfully uploaded.");
    const int uploadsBefore = m_program->errorOutput().count(uploaded);
    const QSet<QString> before = filesBelow(m_root.filePath(QStringLiteral("service")));
    QVERIFY(pointer(QStringLiteral("move 1020 760")));
    const int focusedBefore = m_program->errorOutput().count(focused);
    invokeSingleShot();
    if (QTest::currentTestFailed())
        return;
    const int closedBefore = m_program->errorOutput().count(closed);
    // KWin gives the full-screen overlay the keyboard once it has drawn it, no activation token
    // asked; a key pressed before that goes to the window that had it.
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count(focused), focusedBefore + 1, kTimeoutMs);
    QVERIFY(pointer(QStringLiteral("key %1").arg(kEscape)));
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count(closed), closedBefore + 1, kTimeoutMs);

    // The cancelled shot took nothing: the next shot's upload is the only new picture.
    invokeSingleShot();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(pointer(QStringLiteral("move 100 100")));
    QVERIFY(pointer(QStringLiteral("press")));
    QVERIFY(pointer(QStringLiteral("move 150 140")));
    QVERIFY(pointer(QStringLiteral("release")));
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count(uploaded), uploadsBefore + 1, kTimeoutMs);
    const QList<QImage> uploads = newPictures(m_root.filePath(QStringLiteral("service")), before);
    QCOMPARE(uploads.size(), 1);
    QCOMPARE(uploads.first().size(), QSize(51, 41));
}

int main(int argc, char** argv)
{
    // The pattern is shown on the compositor the program shoots.
    qputenv("QT_QPA_PLATFORM", "wayland");
    QApplication app(argc, argv);
    TestKdeSession test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_session.moc"
