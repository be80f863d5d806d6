// The real program in a private headless Wayland session (scripts/with-wayland.sh): a key bound
// in sway to a command-line action, a drag with a virtual pointer, the picture cut from the
// portal's screenshot, the link on the Wayland clipboard, the text shot, and a portal that is
// gone.
#include "swaysession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QtTest>
#include <csignal>
#include <sys/types.h>

using namespace BL::Test;

namespace {

constexpr int kTimeoutMs = kSwayTimeoutMs;

} // namespace

class TestWaylandSession : public CSwaySession
{
    Q_OBJECT

private slots:
    void initTestCase() { start(); }
    void cleanupTestCase() { stop(); }
    void cleanup() { reportFailure(); }

    void boundKeyShotUploadsTheBackground();
    void escapeClosesTheBoundKeyOverlayWithoutUpload();
    void textShotReadsTheFrozenDesktop();
    void withoutPortalBalloonAndStillAnswering();
};

void TestWaylandSession::boundKeyShotUploadsTheBackground()
{
    // Out of the way of the area: a cursor drawn into the screenshot must not be in it.
    QVERIFY(pointer(QStringLiteral("move 1270 790 1280 800")));
    const QString before = waylandClipboard();
    QVERIFY(
        run(QStringLiteral("wtype"), {"-M", "ctrl", "-M", "alt", "p", "-m", "alt", "-m", "ctrl"}).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kTimeoutMs);
    drag({100, 100}, {300, 250}, {1280, 800});
    const QString link = waitForLink(before);
    QVERIFY(!link.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."),
                             kTimeoutMs);
    QVERIFY(!overlayShown(m_program->pid()));
    verifyUploaded(link, QSize(201, 151), {100, 100});
    const int uploaded = m_program->errorOutput().count(QStringLiteral("Screenshot succesfully uploaded."));
    // The link stays on the clipboard with the overlay gone. The program's next overlay reaches
    // the compositor after whatever it did to the clipboard on closing this one.
    CProgram again;
    again.process().setProcessEnvironment(m_program->process().processEnvironment());
    QVERIFY(again.start({"--single-shot"}));
    QVERIFY(again.waitForExit(kTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kTimeoutMs);
    QCOMPARE(waylandClipboard(), link);
    drag({100, 100}, {150, 150}, {1280, 800});
    QVERIFY(!waitForLink(link).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!overlayShown(m_program->pid()), kTimeoutMs);
    // Its upload is told of within this test: the next one waits for a word of its own shot's.
    QTRY_COMPARE_WITH_TIMEOUT(
        m_program->errorOutput().count(QStringLiteral("Screenshot succesfully uploaded.")), uploaded + 1,
        kTimeoutMs);
}

void TestWaylandSession::escapeClosesTheBoundKeyOverlayWithoutUpload()
{
    QVERIFY(pointer(QStringLiteral("move 1270 790 1280 800")));
    const QString shown = QStringLiteral("overlay shown on");
    const int logStart = m_program->errorOutput().size();
    const QString before = waylandClipboard();
    const QStringList boundKey = {"-M", "ctrl", "-M", "alt", "p", "-m", "alt", "-m", "ctrl"};
    QVERIFY(run(QStringLiteral("wtype"), boundKey).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kTimeoutMs);
    // The key reaches the overlay only once the compositor gave it the keyboard.
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().mid(logStart).contains("overlay has the keyboard"),
                             kTimeoutMs);
    QVERIFY(run(QStringLiteral("wtype"), {"-k", "Escape"}).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!overlayShown(m_program->pid()), kTimeoutMs);

    QVERIFY(run(QStringLiteral("wtype"), boundKey).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().mid(logStart).count(shown), 2, kTimeoutMs);
    // A shot reserves its link as its area is taken: between the cancelled overlay and the next
    // one there is none.
    const QString cancelled = m_program->errorOutput().mid(logStart);
    const int first = cancelled.indexOf(shown);
    QVERIFY2(!cancelled.mid(first, cancelled.indexOf(shown, first + 1) - first).contains("reserve_code"),
             qPrintable(cancelled));
    drag({100, 100}, {200, 180}, {1280, 800});
    // The next shot's link is the first new one on the clipboard.
    const QString link = waitForLink(before);
    QVERIFY(!link.isEmpty());
    // The link is on the clipboard before its picture has reached the service.
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().mid(logStart).contains("Screenshot succesfully uploaded."), kTimeoutMs);
    verifyUploaded(link, QSize(101, 81), {100, 100});
    QTRY_VERIFY_WITH_TIMEOUT(!overlayShown(m_program->pid()), kTimeoutMs);
}

void TestWaylandSession::textShotReadsTheFrozenDesktop()
{
    QVERIFY(pointer(QStringLiteral("move 1270 790 1280 800")));
    CProgram action;
    action.process().setProcessEnvironment(m_program->process().processEnvironment());
    QVERIFY(action.start({"--text-shot"}));
    QVERIFY(action.waitForExit(kTimeoutMs));
    QCOMPARE(action.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kTimeoutMs);
    drag({650, 570}, {1230, 670}, {1280, 800});
    QTRY_COMPARE_WITH_TIMEOUT(waylandClipboard(), kWaylandText, kTimeoutMs);
    QVERIFY(!overlayShown(m_program->pid()));
}

void TestWaylandSession::withoutPortalBalloonAndStillAnswering()
{
    const qint64 portal = qEnvironmentVariable("BL_PORTAL_PID").toLongLong();
    QVERIFY(portal > 0);
    QCOMPARE(::kill(pid_t(portal), SIGTERM), 0);
    // The signal is taken in its own time: until the portal has exited it still owns its bus
    // name, and a request would wait for an answer instead of finding no portal.
    const auto exited = [portal] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(portal));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray fields = stat.readAll();
        return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
    };
    QTRY_VERIFY_WITH_TIMEOUT(exited(), kTimeoutMs);
    // The bus takes the name back when it reads the closed connection, a moment after the exit:
    // a request before that still waits for the dead portal.
    const auto released = [] {
        QProcess ask;
        ask.start(QStringLiteral("gdbus"),
                  {"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                   "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                   "org.freedesktop.portal.Desktop"});
        return ask.waitForFinished(5000) && ask.readAllStandardOutput().trimmed() == "(false,)";
    };
    QTRY_VERIFY_WITH_TIMEOUT(released(), kTimeoutMs);
    const QString failure =
        QStringLiteral("could not take a picture of the screen: no desktop portal is running");
    for (int i = 1; i <= 2; ++i) {
        CProgram action;
        action.process().setProcessEnvironment(m_program->process().processEnvironment());
        QElapsedTimer took;
        took.start();
        QVERIFY(action.start({"--single-shot"}));
        QVERIFY2(action.waitForExit(10000), "the action did not end");
        QCOMPARE(action.exitCode(), 0);
        qInfo() << "action" << i << "ended after" << took.elapsed() << "ms";
        // Each request ends in the balloon: the program still answers after the first.
        QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count(failure), i, kTimeoutMs);
        QVERIFY(!overlayShown(m_program->pid()));
    }
    QVERIFY(m_program->isRunning());
}

int main(int argc, char** argv)
{
    // Fonts for the words on the background; the test itself shows nothing on the compositor.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestWaylandSession test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_session.moc"
