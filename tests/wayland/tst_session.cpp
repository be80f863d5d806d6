// The real program in a private headless Wayland session (scripts/with-wayland.sh): a key bound
// in sway to a command-line action, a drag with a virtual pointer, the picture cut from the
// portal's screenshot, the link on the Wayland clipboard, outputs at whole and fractional scales
// (compared with the output's own pixels), two outputs of different scales with the overlay on
// the one under the pointer, and a portal that is gone.
#include "outputpicture.h"
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/types.h>

using namespace BL::Test;

namespace {

constexpr int kTimeoutMs = 20000;

QString swaymsg(const QStringList& args)
{
    int code = -1;
    const QString out = run(QStringLiteral("swaymsg"), args, &code);
    if (code != 0)
        qWarning().noquote() << "swaymsg" << args.join(' ') << "failed:" << out;
    return out;
}

void collectWindows(const QJsonObject& node, QList<QJsonObject>& windows)
{
    if (node.value(QStringLiteral("pid")).toInt() > 0)
        windows << node;
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
            collectWindows(child.toObject(), windows);
}

// The output on which a window of process `pid` fills the screen (the overlay), or empty.
QString overlayOutput(qint64 pid)
{
    const QJsonObject tree = QJsonDocument::fromJson(swaymsg({"-r", "-t", "get_tree"}).toUtf8()).object();
    for (const QJsonValue& output : tree.value(QStringLiteral("nodes")).toArray()) {
        QList<QJsonObject> windows;
        collectWindows(output.toObject(), windows);
        for (const QJsonObject& w : windows)
            if (w.value(QStringLiteral("pid")).toInt() == pid &&
                w.value(QStringLiteral("visible")).toBool() &&
                w.value(QStringLiteral("fullscreen_mode")).toInt() != 0)
                return output.toObject().value(QStringLiteral("name")).toString();
    }
    return QString();
}

bool overlayShown(qint64 pid)
{
    return !overlayOutput(pid).isEmpty();
}

QString waylandClipboard()
{
    return run(QStringLiteral("wl-paste"), {QStringLiteral("--no-newline")});
}

} // namespace

const QString kWaylandText = QStringLiteral("Read from the desktop, on Wayland.");

class TestWaylandSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void boundKeyShotUploadsTheBackground();
    void textShotReadsTheFrozenDesktop();
    void scaledOutputGivesNativePixels_data();
    void scaledOutputGivesNativePixels();
    void twoOutputsEachGiveTheirOwnPixels();
    void withoutPortalBalloonAndStillAnswering();

private:
    QProcessEnvironment programEnvironment() const;
    // The link of the next shot: waits for the clipboard to change from `previous`.
    QString waitForLink(const QString& previous);
    // One line to the virtual pointer; true once the compositor has it.
    bool pointer(const QString& command);
    // Presses the left button at `from`, moves through the middle to `to` and releases it there,
    // in a layout of `layout` logical points.
    void drag(QPoint from, QPoint to, QSize layout);
    void verifyUploaded(const QString& link, const QSize& size, const QPoint& origin);
    // Runs the single-shot action with the pointer at `at`, waits for the overlay on `output`,
    // drags from `from` to `to` and returns the uploaded picture.
    QImage shootArea(QPoint at, const QString& output, QPoint from, QPoint to, QSize layout);

    QTemporaryDir m_root;
    QProcess m_pointer;
    CServiceProcess m_service;
    std::unique_ptr<CProgram> m_program;
    QImage m_lastUpload;
};

QProcessEnvironment TestWaylandSession::programEnvironment() const
{
    QProcessEnvironment env = privateUserEnvironment(m_root.filePath(QStringLiteral("user")));
    // The program's runtime directory is private; the compositor's socket is named in full.
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') +
                                                      qEnvironmentVariable("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    return env;
}

void TestWaylandSession::initTestCase()
{
    QVERIFY(!qEnvironmentVariableIsEmpty("SWAYSOCK"));
    QVERIFY(m_root.isValid());
    // Without it the seat has no pointer, and the drags below would reach nobody.
    m_pointer.start(QStringLiteral(BL_VIRTUAL_POINTER), QStringList());
    QVERIFY(m_pointer.waitForReadyRead(10000));
    QCOMPARE(m_pointer.readLine().trimmed(), QByteArray("ready"));
    QVERIFY2(m_service.start(m_root.filePath(QStringLiteral("service"))), qPrintable(m_service.log()));

    QImage background(1280, 800, QImage::Format_RGB32);
    for (int y = 0; y < background.height(); ++y)
        for (int x = 0; x < background.width(); ++x)
            background.setPixelColor(x, y, patternAt(x, y));
    {
        // Words for the text shot, away from the areas the other shots take.
        QPainter painter(&background);
        painter.fillRect(QRect(640, 560, 600, 120), QColor(0xfa, 0xfa, 0xfa));
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(21);
        painter.setFont(font);
        painter.setPen(QColor(0x20, 0x20, 0x20));
        painter.drawText(670, 610, kWaylandText);
    }
    const QString backgroundFile = m_root.filePath(QStringLiteral("background.png"));
    QVERIFY(background.save(backgroundFile));
    swaymsg({"output", "HEADLESS-1", "bg", backgroundFile, "stretch"});

    // The key a desktop's settings would bind: the command-line action, as the person runs it.
    const QProcessEnvironment env = programEnvironment();
    const QString command = m_root.filePath(QStringLiteral("single-shot.sh"));
    {
        QFile script(command);
        QVERIFY(script.open(QIODevice::WriteOnly));
        QTextStream out(&script);
        out << "#!/bin/sh\nexec env";
        for (const char* key : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                                "WAYLAND_DISPLAY", "BL_SERVICE_HOST", "DBUS_SESSION_BUS_ADDRESS"})
            out << " " << key << "='" << env.value(QLatin1String(key)) << "'";
        out << " QT_QPA_PLATFORM=wayland '" << CProgram::binaryPath() << "' --single-shot >>'"
            << m_root.filePath(QStringLiteral("bound-key.log")) << "' 2>&1\n";
    }
    QVERIFY(QFile::setPermissions(command, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    swaymsg({"bindsym", "Ctrl+Alt+p", "exec", command});

    QProcessEnvironment programEnv = env;
    programEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    programEnv.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brightloom.*.debug=true"));
    {
        QSettings stored(m_root.filePath(QStringLiteral("user/config/Brightloom/Brightloom.conf")),
                         QSettings::IniFormat);
        stored.setValue("show_pre_help", true);
        stored.setValue("show_paste_help", true);
    }
    m_program = std::make_unique<CProgram>();
    // CProgram leaves the platform to Qt's choice; here it must be Wayland.
    m_program->process().setProcessEnvironment(programEnv);
    QVERIFY(m_program->start());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(
                                 QLatin1String("using the \"wayland\" backends on the \"wayland\" platform")),
                             kTimeoutMs);
    // sway binds no keys for others: the first start names the commands to bind instead.
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(QLatin1String("brightloom --toggle-drop-widget")), kTimeoutMs);
    QVERIFY(m_program->errorOutput().contains(QLatin1String("brightloom --single-shot")));
}

void TestWaylandSession::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
}

void TestWaylandSession::cleanupTestCase()
{
    m_program.reset();
    m_service.stop();
    m_pointer.kill();
    m_pointer.waitForFinished();
}

bool TestWaylandSession::pointer(const QString& command)
{
    m_pointer.write(command.toLatin1() + '\n');
    if (!m_pointer.waitForReadyRead(5000))
        return false;
    return m_pointer.readLine().trimmed() == "ok";
}

void TestWaylandSession::drag(QPoint from, QPoint to, QSize layout)
{
    const auto move = [this, layout](QPoint p) {
        return pointer(QStringLiteral("move %1 %2 %3 %4")
                           .arg(p.x())
                           .arg(p.y())
                           .arg(layout.width())
                           .arg(layout.height()));
    };
    QVERIFY(move(from));
    QTest::qWait(200);
    QVERIFY(pointer(QStringLiteral("press")));
    QTest::qWait(100);
    QVERIFY(move((from + to) / 2));
    QTest::qWait(100);
    QVERIFY(move(to));
    QTest::qWait(200);
    QVERIFY(pointer(QStringLiteral("release")));
}

QString TestWaylandSession::waitForLink(const QString& previous)
{
    QDeadlineTimer deadline(kTimeoutMs);
    while (!deadline.hasExpired()) {
        const QString link = waylandClipboard();
        if (link.startsWith(QLatin1String("http")) && link != previous)
            return link;
        QTest::qWait(100);
    }
    return QString();
}

void TestWaylandSession::verifyUploaded(const QString& link, const QSize& size, const QPoint& origin)
{
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^http://127\\.0\\.0\\.1:%1/[A-Za-z0-9]{8,}$").arg(m_service.port()))
                 .match(link)
                 .hasMatch(),
             qPrintable(link));
    const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(picture.status, 200);
    const QImage image = QImage::fromData(picture.body, "PNG");
    QCOMPARE(image.size(), size);
    const QString mismatch = patternMismatch(image, origin);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

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
    // The link stays on the clipboard with the overlay gone.
    QTest::qWait(1000);
    QCOMPARE(waylandClipboard(), link);
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

QImage TestWaylandSession::shootArea(QPoint at, const QString& output, QPoint from, QPoint to, QSize layout)
{
    [&] {
        QVERIFY(pointer(QStringLiteral("move %1 %2 %3 %4")
                            .arg(at.x())
                            .arg(at.y())
                            .arg(layout.width())
                            .arg(layout.height())));
        const QString before = waylandClipboard();
        const int uploadsBefore =
            m_program->errorOutput().count(QStringLiteral("Screenshot succesfully uploaded."));
        CProgram action;
        action.process().setProcessEnvironment(m_program->process().processEnvironment());
        QVERIFY(action.start({"--single-shot"}));
        QVERIFY(action.waitForExit(kTimeoutMs));
        QCOMPARE(action.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kTimeoutMs);
        const QString shownOn = overlayOutput(m_program->pid());
        if (shownOn != output)
            run(QStringLiteral("wtype"), {"-k", "Escape"});
        QCOMPARE(shownOn, output);
        drag(from, to, layout);
        const QString link = waitForLink(before);
        QVERIFY(!link.isEmpty());
        // The link is on the clipboard before the picture is uploaded: wait for the upload.
        QTRY_COMPARE_WITH_TIMEOUT(
            m_program->errorOutput().count(QStringLiteral("Screenshot succesfully uploaded.")),
            uploadsBefore + 1, kTimeoutMs);
        const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
        QCOMPARE(picture.status, 200);
        m_lastUpload = QImage::fromData(picture.body, "PNG");
    }();
    return std::exchange(m_lastUpload, QImage());
}

void TestWaylandSession::scaledOutputGivesNativePixels_data()
{
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QSize>("layout");
    QTest::addColumn<QRect>("native");
    // Logical points 100..299 x 100..219 in each; their pixels on the 1280x800 output.
    QTest::newRow("2") << "2" << QSize(640, 400) << QRect(200, 200, 400, 240);
    QTest::newRow("1.5") << "1.5" << QSize(853, 533) << QRect(150, 150, 300, 180);
    QTest::newRow("1.25") << "1.25" << QSize(1024, 640) << QRect(125, 125, 250, 150);
}

void TestWaylandSession::scaledOutputGivesNativePixels()
{
    QFETCH(QString, scale);
    QFETCH(QSize, layout);
    QFETCH(QRect, native);
    swaymsg({"output", "HEADLESS-1", "scale", scale});
    const auto restore = qScopeGuard([] { swaymsg({"output", "HEADLESS-1", "scale", "1"}); });
    const QString rect = QJsonDocument::fromJson(swaymsg({"-r", "-t", "get_outputs"}).toUtf8())
                             .array()
                             .first()
                             .toObject()
                             .value(QStringLiteral("rect"))
                             .toObject()
                             .value(QStringLiteral("width"))
                             .toVariant()
                             .toString();
    QCOMPARE(rect, QString::number(layout.width()));
    // The reference is what the output shows: a fractional scale draws the background resampled.
    // The cursor is drawn into the output's picture: out of the area first. grim leaves out the
    // last half row of 1.5, so only the width is sure.
    const QPoint corner(layout.width() - 5, layout.height() - 5);
    QVERIFY(pointer(QStringLiteral("move %1 %2 %3 %4")
                        .arg(corner.x())
                        .arg(corner.y())
                        .arg(layout.width())
                        .arg(layout.height())));
    const QImage reference = settledPicture("HEADLESS-1", m_root.filePath(QStringLiteral("native.png")));
    QCOMPARE(reference.width(), 1280);
    const QImage upload = shootArea(corner, "HEADLESS-1", {100, 100}, {299, 219}, layout);
    QVERIFY(!QTest::currentTestFailed());
    const QString difference = firstDifference(upload, reference.copy(native));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestWaylandSession::twoOutputsEachGiveTheirOwnPixels()
{
    swaymsg({"create_output"});
    QString second;
    for (const QJsonValue& output :
         QJsonDocument::fromJson(swaymsg({"-r", "-t", "get_outputs"}).toUtf8()).array())
        if (output.toObject().value(QStringLiteral("name")).toString() != QLatin1String("HEADLESS-1"))
            second = output.toObject().value(QStringLiteral("name")).toString();
    QVERIFY(!second.isEmpty());
    // sway's own default: the seat's focus, which the program asks sway for, follows the pointer
    // onto another output. sway 1.7 cannot remove an output it made: the last test does not mind.
    swaymsg({"focus_follows_mouse", "yes"});
    const auto restore = qScopeGuard([] { swaymsg({"focus_follows_mouse", "no"}); });
    // Ratio 2 right of ratio 1: a layout of 1920x800 points, the second output 640x400 of them.
    swaymsg({"output", second, "resolution", "1280x800", "pos", "1280", "0", "scale", "2", "bg",
             m_root.filePath(QStringLiteral("background.png")), "stretch"});
    const QSize layout(1920, 800);

    // The pointer on the second output: the overlay opens there, and logical 1330..1429 x 50..119
    // are its pixels 100..299 x 100..239, exactly.
    QVERIFY(pointer(QStringLiteral("move 1900 390 1920 800")));
    QImage reference = settledPicture(second, m_root.filePath(QStringLiteral("second.png")));
    QCOMPARE(reference.size(), QSize(1280, 800));
    QImage upload = shootArea({1900, 390}, second, {1330, 50}, {1429, 119}, layout);
    QVERIFY(!QTest::currentTestFailed());
    QString difference = firstDifference(upload, reference.copy(100, 100, 200, 140));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // Back on the first: there again. The portal pictures the whole layout at the greatest
    // scale, so this output reaches the program enlarged twice, and its own pixels are found
    // again from that.
    QVERIFY(pointer(QStringLiteral("move 1270 790 1920 800")));
    reference = settledPicture("HEADLESS-1", m_root.filePath(QStringLiteral("first.png")));
    QCOMPARE(nativePicture(QString(), m_root.filePath(QStringLiteral("all.png"))).size(), QSize(3840, 1600));
    upload = shootArea({1270, 790}, "HEADLESS-1", {100, 100}, {299, 219}, layout);
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(upload.size(), QSize(200, 120));
    const QImage near = reference.copy(100, 100, 200, 120);
    int far = 0;
    for (int y = 0; y < near.height(); ++y)
        for (int x = 0; x < near.width(); ++x) {
            const QRgb a = upload.pixel(x, y);
            const QRgb b = near.pixel(x, y);
            far += std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                             std::abs(qBlue(a) - qBlue(b))}) > 4;
        }
    qInfo() << "output of ratio 1 beside one of 2:" << far << "of" << near.width() * near.height()
            << "pixels more than 4 off its own";
    QVERIFY2(far * 8 < near.width() * near.height(), qPrintable(QString::number(far)));
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
