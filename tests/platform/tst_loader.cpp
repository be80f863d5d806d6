// The run-time choice of the platform backends on the offscreen platform with
// no X display anywhere (an X11 backend made here could only fail or crash), and
// no session bus (the Wayland backends must say so, not hang).
#include "platform/backends.h"
#include "platform/globalshortcut.h"
#include "platform/screengrab.h"
#include "platform/termination.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <csignal>

namespace {

struct SLogLine
{
    QtMsgType type;
    QString text;
};

// What brightloom.platform said since the current test function started.
QVector<SLogLine> g_lines;
QtMessageHandler g_previousHandler = nullptr;

void recordPlatformLines(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (qstrcmp(context.category, "brightloom.platform") == 0)
        g_lines.append({type, message});
    g_previousHandler(type, context, message);
}

int linesContaining(QtMsgType type, const QString& part)
{
    return int(std::count_if(
        g_lines.cbegin(), g_lines.cend(),
        [&](const SLogLine& line) { return line.type == type && line.text.contains(part); }));
}

} // namespace

class TestLoader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
        QVERIFY(!qEnvironmentVariableIsSet("DISPLAY"));
        g_previousHandler = qInstallMessageHandler(recordPlatformLines);
    }
    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }
    void init() { g_lines.clear(); }

    // First, so that it sees the process-wide choice being made.
    void offscreenRunsOnInertNullBackends()
    {
        CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+P")));
        QVERIFY(!shortcut.isRegistered());
        QVERIFY(!shortcut.setShortcut(QKeySequence(QStringLiteral("Shift+Print"))));
        QVERIFY(BL::Platform::grabScreenRect(QRect(0, 0, 64, 48)).isNull());
        BL::Platform::releaseScreenGrabBuffers();
        QCOMPARE(BL::Platform::backends().name(), QStringLiteral("null"));

        // One line names the choice. The null backend's notice is the only
        // warning: a try at X would have said it cannot reach the server.
        QCOMPARE(
            linesContaining(QtInfoMsg, QStringLiteral("\"null\" backends on the \"offscreen\" platform")), 1);
        QCOMPARE(linesContaining(QtWarningMsg, QString()), 1);
        QCOMPARE(linesContaining(QtWarningMsg, QStringLiteral("not supported")), 1);
    }

    void choiceFallsBackToNull_data()
    {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QByteArray>("forced");
        QTest::addColumn<bool>("triesX");
        QTest::newRow("eglfs has no backends") << "eglfs" << QByteArray() << false;
        QTest::newRow("forced null never tries X") << "xcb" << QByteArray("null") << false;
        QTest::newRow("xcb without a connection") << "xcb" << QByteArray() << true;
        QTest::newRow("forced xcb without a connection") << "offscreen" << QByteArray("xcb") << true;
    }

    void choiceFallsBackToNull()
    {
        QFETCH(QString, platform);
        QFETCH(QByteArray, forced);
        QFETCH(bool, triesX);
        const std::unique_ptr<BL::Platform::CBackends> backends =
            BL::Platform::loadBackends(platform, forced);
        QCOMPARE(backends->name(), QStringLiteral("null"));
        QVERIFY(backends->screenGrabber().grab(QRect(0, 0, 8, 8)).isNull());
        // The live screen is read directly there: no picture is asked of a desktop portal.
        QVERIFY(!backends->screenshots());
        QCOMPARE(linesContaining(QtWarningMsg, QStringLiteral("cannot reach the \"xcb\" window system")),
                 triesX ? 1 : 0);
        QCOMPARE(linesContaining(QtInfoMsg, QStringLiteral("\"null\" backends")), 1);
    }

    void waylandAsksThePortalAndTellsWhyNot()
    {
        const std::unique_ptr<BL::Platform::CBackends> backends =
            BL::Platform::loadBackends(QStringLiteral("wayland"), QByteArray());
        QCOMPARE(backends->name(), QStringLiteral("wayland"));
        QCOMPARE(linesContaining(QtWarningMsg, QStringLiteral("cannot reach")), 0);
        BL::Platform::CAbstractScreenshotSource* screenshots = backends->screenshots();
        QVERIFY(screenshots);
        // No session bus here (main() points it nowhere): the request ends at once, with words for
        // the person, and never with a picture.
        QSignalSpy taken(screenshots, &BL::Platform::CAbstractScreenshotSource::taken);
        QSignalSpy failed(screenshots, &BL::Platform::CAbstractScreenshotSource::failed);
        screenshots->request();
        screenshots->request(); // joins the first: one answer
        // Each request fails from a zero-interval timer of its own: one started after both runs
        // after either of theirs.
        QTimer later;
        later.setSingleShot(true);
        later.setInterval(0);
        QSignalSpy fired(&later, &QTimer::timeout);
        later.start();
        QVERIFY(fired.wait(10000));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(taken.count(), 0);
        QVERIFY2(failed.first().first().toString().contains(QStringLiteral("no desktop portal is running")),
                 qPrintable(failed.first().first().toString()));
        // Hotkeys stay inert rather than half-work.
        CGlobalShortcut::ERegistration registration =
            backends->shortcuts().registerShortcut(nullptr, QKeySequence(QStringLiteral("Ctrl+Alt+P")));
        QCOMPARE(registration, CGlobalShortcut::Unsupported);
    }

    void unknownOverrideWarnsOnceAndFollowsThePlatform()
    {
        for (int round = 0; round < 2; ++round) {
            const std::unique_ptr<BL::Platform::CBackends> backends =
                BL::Platform::loadBackends(QStringLiteral("xcb"), QByteArray("x11"));
            QCOMPARE(backends->name(), QStringLiteral("null"));
        }
        QCOMPARE(linesContaining(QtWarningMsg, QStringLiteral("\"x11\" is not a backend")), 1);
        // Ignoring the value means choosing for xcb, which has no connection here.
        QCOMPARE(linesContaining(QtWarningMsg, QStringLiteral("cannot reach the \"xcb\" window system")), 2);
    }

    void terminationSignalQuitsTheEventLoop()
    {
        // Signals do not depend on the window system: offscreen runs get them too.
        BL::Platform::quitOnTerminationRequest();
        QEventLoop loop;
        QTimer::singleShot(
            0, [] { ::raise(SIGTERM); });
        QTimer::singleShot(10000, &loop, [&loop] { loop.exit(1); });
        QCOMPARE(loop.exec(), 0);
    }
};

int main(int argc, char** argv)
{
    qunsetenv("DISPLAY");
    qunsetenv("BL_PLATFORM_BACKEND");
    // A desktop session's bus must not answer for the portal this test expects to be missing.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    QGuiApplication app(argc, argv);
    TestLoader test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_loader.moc"
