// The real program against the real web service on a private X session:
// hotkey, drag, link on the clipboard, picture on the service.
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <X11/Xlib.h>
#include <algorithm>

using namespace BL::Test;

namespace {

// Each look at the X session spawns xdotool and xwininfo; on a loaded machine a few looks can
// take seconds, so waits for a window state get room beyond the usual five.
constexpr int kXTimeoutMs = 15000;

// A loopback HTTP server answering from a handler; it remembers every request line.
class CTinyHttpServer : public QTcpServer
{
public:
    using Handler = std::function<QByteArray(const QByteArray& requestLine)>;

    explicit CTinyHttpServer(Handler handler) : m_handler(std::move(handler))
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                serve(socket);
        });
        listen(QHostAddress::LocalHost);
    }

    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(serverPort()); }
    QList<QByteArray> requestLines;

private:
    void serve(QTcpSocket* socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            const int headerEnd = buffer->indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            static const QRegularExpression lengthRe(QStringLiteral("Content-Length: (\\d+)"),
                                                     QRegularExpression::CaseInsensitiveOption);
            const auto m = lengthRe.match(QString::fromLatin1(buffer->left(headerEnd)));
            if (buffer->size() < headerEnd + 4 + (m.hasMatch() ? m.captured(1).toInt() : 0))
                return;
            const QByteArray line = buffer->left(buffer->indexOf("\r\n"));
            requestLines << line;
            socket->write(m_handler(line));
            socket->disconnectFromHost();
            buffer->clear();
        });
    }

    Handler m_handler;
};

QByteArray httpReply(const QByteArray& contentType, const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
           "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestFlows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void singleShotPutsLinkOnClipboardAndPictureOnService();
    void comparisonUploadsOnePair();
    void localShotsNeverOverwrite();
    void uploadFileFromTrayMenu();
    void serviceDownLeavesClipboardAlone();
    void silentServiceTimesOutAndKeepsTheShot();
    void refusedUploadKeepsReservedLink();
    void storedHotkeysAndHeldCombination();
    void welcomeScreenOnFirstStartOnly();
    void urlUploadFromTrayMenu();
    void chosenStorageDirectoryTakesTheNextShot();
    void dropWidgetHotkeyDragAndRestart();

private:
    // Starts the program as a fresh user with `settings` stored beforehand.
    CProgram* startProgram(const QVariantMap& settings, const QString& serviceHost = QString());
    QString settingsPath() const
    {
        return m_user->path() + QStringLiteral("/config/Brightloom/Brightloom.conf");
    }
    QString waitForLink(const QString& previous = QString());
    // After a failed upload of the drag {100,100}-{200,200}: the clipboard still holds `clipboardBefore`,
    // the tray icon shows `standardIcon` again, and the shot is in the storage directory under the name the
    // balloon gives.
    void verifyFailedShotKept(const QString& clipboardBefore, const QImage& standardIcon);
    // The program's tray icon as the tray host shows it.
    QImage trayIconPicture() const
    {
        return QGuiApplication::primaryScreen()->grabWindow(m_trayIcon.toULongLong()).toImage();
    }
    // The icon before any upload, once the program has drawn it.
    QImage standardTrayIcon();

    QTemporaryDir m_root;
    CServiceProcess m_service;
    std::unique_ptr<CPatternWindow> m_pattern;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
    QString m_trayIcon; // window id of the program's tray icon
};

void TestFlows::initTestCase()
{
    QVERIFY(m_root.isValid());
    // Private fetches allowed: the pictures of the URL uploads are served on loopback.
    QVERIFY2(m_service.start(m_root.filePath("service"), {"--allow-private-fetch"}),
             qPrintable(m_service.log()));
    m_pattern = std::make_unique<CPatternWindow>();
    // Below the tray host's strip at the top, which must stay clickable.
    m_pattern->setGeometry(0, 40, 1280, 760);
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));
    QTRY_COMPARE(m_pattern->mapToGlobal(QPoint(0, 0)), QPoint(0, 40));
}

void TestFlows::cleanupTestCase()
{
    m_pattern.reset();
    m_service.stop();
}

void TestFlows::init()
{
    m_user = std::make_unique<QTemporaryDir>();
}

void TestFlows::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

CProgram* TestFlows::startProgram(const QVariantMap& settings, const QString& serviceHost)
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), serviceHost.isEmpty() ? m_service.host() : serviceHost);
    {
        QSettings stored(settingsPath(), QSettings::IniFormat);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            stored.setValue(it.key(), it.value());
    }
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    if (!m_program->start())
        return nullptr;
    m_trayIcon = m_program->waitForTrayIcon(before);
    if (m_trayIcon.isEmpty())
        return nullptr;
    return m_program.get();
}

QString TestFlows::waitForLink(const QString& previous)
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        const QString link = clipboard();
        if (!link.isEmpty() && link != previous)
            return link;
        QTest::qWait(50);
    }
    return QString();
}

static const QVariantMap kHelpSeen = {{"show_pre_help", true}, {"show_paste_help", true}};

void TestFlows::singleShotPutsLinkOnClipboardAndPictureOnService()
{
    QVERIFY(startProgram({{"show_pre_help", true}}));
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({100, 100}, {300, 250});
    const QString link = waitForLink();
    QVERIFY(!link.isEmpty());
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^http://127\\.0\\.0\\.1:%1/[A-Za-z0-9]{8,}$").arg(m_service.port()))
                 .match(link)
                 .hasMatch(),
             qPrintable(link));

    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."), 10000);
    const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(picture.status, 200);
    const QImage image = QImage::fromData(picture.body, "PNG");
    QCOMPARE(image.size(), QSize(201, 151));
    const QString mismatch = patternMismatch(image, {100, 100});
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));

    // The first upload ever shows the paste hint, and says so in the settings at once.
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value("show_paste_help").toBool(), true);
    xdotool({"key", "space"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);

    // The second one only shows the balloon.
    const int balloons = m_program->errorOutput().count("Screenshot succesfully uploaded.");
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({10, 50}, {40, 90});
    const QString second = waitForLink(link);
    QVERIFY(second != link);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().count("Screenshot succesfully uploaded.") == balloons + 1, 10000);
    // The tray menu's window comes from the program after any hint it would have shown.
    QVERIFY(glanceAtTrayMenu(*m_program));
    QVERIFY(!programOverlayShown());
    QCOMPARE(QImage::fromData(httpGet(second + QStringLiteral(".png")).body, "PNG").size(), QSize(31, 41));
}

void TestFlows::comparisonUploadsOnePair()
{
    QVERIFY(startProgram(kHelpSeen));
    xdotool({"key", "ctrl+alt+m"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    const auto reshown = [this] {
        return m_program->errorOutput().count("comparison overlay shown again for the second area");
    };
    QCOMPARE(reshown(), 0);
    drag({50, 60}, {150, 120});
    QTRY_COMPARE_WITH_TIMEOUT(reshown(), 1, kXTimeoutMs);
    // Moved away for the grab, the overlay is back over the screen before the second drag.
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayInPlace(), kXTimeoutMs);
    drag({400, 300}, {600, 500});
    const QString link = waitForLink();
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(),
                             kXTimeoutMs); // the host does not linger after a completed comparison

    const SHttpResult page = httpGet(link);
    QCOMPARE(page.status, 200);
    const QString code = link.section('/', -1);
    const int first = page.body.indexOf(QString(code + ".png").toUtf8());
    const int second = page.body.indexOf(QString(code + "-2.png").toUtf8());
    QVERIFY2(first >= 0 && second > first, page.body.constData());

    const QImage a = QImage::fromData(httpGet(link + ".png").body, "PNG");
    const QImage b = QImage::fromData(httpGet(link + "-2.png").body, "PNG");
    QCOMPARE(a.size(), QSize(101, 61));
    QCOMPARE(b.size(), QSize(201, 201));
    QVERIFY(patternMismatch(a, {50, 60}).isEmpty());
    QVERIFY(patternMismatch(b, {400, 300}).isEmpty());
}

void TestFlows::localShotsNeverOverwrite()
{
    QVERIFY(startProgram(kHelpSeen));
    const QDir dir(m_user->path() + QStringLiteral("/home/brightloom_screens"));
    for (int i = 0; i < 2; ++i) {
        xdotool({"key", "ctrl+alt+l"});
        QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
        drag({200, 150}, {259, 189});
        QTRY_COMPARE(dir.entryList(QDir::Files).size(), i + 1);
    }
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    const QRegularExpression name(
        QStringLiteral("^\\d{4}\\.\\d\\d\\.\\d\\d_\\d\\d\\.\\d\\d\\.\\d\\d(-2)?_shot\\.png$"));
    for (const QString& f : files) {
        QVERIFY2(name.match(f).hasMatch(), qPrintable(f));
        const QImage image(dir.filePath(f));
        QCOMPARE(image.size(), QSize(60, 40));
        QVERIFY(patternMismatch(image, {200, 150}).isEmpty());
    }
    QTRY_COMPARE(m_program->errorOutput().count("Screenshot saved as " + dir.path() + "/"), 2);
    QVERIFY(clipboard().isEmpty()); // nothing was uploaded
}

void TestFlows::uploadFileFromTrayMenu()
{
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(10, 200, 30));
    const QString png = m_user->filePath("chosen.png");
    QVERIFY(picture.save(png));
    const QString text = m_user->filePath("notes.txt");
    QFile(text).open(QIODevice::WriteOnly);

    QVERIFY(startProgram(kHelpSeen));
    QString previous;
    for (const QString& file : {png, text}) {
        QVERIFY(chooseTrayEntry(*m_program, 1)); // "&Upload file..."
        QVERIFY(!waitForWindow(QStringLiteral("Open"), kXTimeoutMs).isEmpty());
        xdotool({"type", "--delay", "5", file});
        xdotool({"key", "Return"});
        QTRY_VERIFY(visibleWindowsNamed(QStringLiteral("^Open$")).isEmpty());
        if (file == png) {
            previous = waitForLink();
            QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."),
                                     10000);
            const QImage served = QImage::fromData(httpGet(previous + ".png").body, "PNG");
            QCOMPARE(served.convertToFormat(QImage::Format_RGB32), picture);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Null pixmap was tried to upload"),
                                     5000);
            // The program handles the click on its icon after the refused file: a link that
            // refusal put on the clipboard would be there by now.
            QVERIFY(glanceAtTrayMenu(*m_program));
            QCOMPARE(clipboard(), previous);
            QVERIFY(m_program->isRunning());
        }
    }
}

void TestFlows::serviceDownLeavesClipboardAlone()
{
    // A port on which nothing listens any more.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString deadHost = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
    probe.close();

    QVERIFY(startProgram(kHelpSeen, deadHost));
    QProcess owner; // keeps "before" on the clipboard
    owner.start("xclip", {"-i", "-quiet", "-selection", "clipboard"});
    QVERIFY(owner.waitForStarted());
    owner.write("before");
    owner.closeWriteChannel();
    QTRY_COMPARE(clipboard(), QStringLiteral("before"));
    const QImage standardIcon = standardTrayIcon();
    QVERIFY(!standardIcon.isNull());

    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({100, 100}, {200, 200});
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Critical"), 10000);
    QVERIFY(!m_program->errorOutput().contains("succesfully"));
    verifyFailedShotKept(QStringLiteral("before"), standardIcon);
    owner.kill();
    owner.waitForFinished();
}

void TestFlows::silentServiceTimesOutAndKeepsTheShot()
{
    // The kernel completes every connection into the backlog; nobody ever reads or answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QString before = clipboard();
    QVERIFY(startProgram(kHelpSeen, QStringLiteral("127.0.0.1:%1").arg(silent.serverPort())));
    const QImage standardIcon = standardTrayIcon();
    QVERIFY(!standardIcon.isNull());
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({100, 100}, {200, 200});
    // The reservation gives up after 30 s without a byte.
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Critical"), 60000);
    QVERIFY2(m_program->errorOutput().contains("Reserving code failed."),
             qPrintable(m_program->errorOutput()));
    verifyFailedShotKept(before, standardIcon);
}

QImage TestFlows::standardTrayIcon()
{
    // The program handles the click on its icon after it first drew it.
    if (!glanceAtTrayMenu(*m_program))
        return QImage();
    return trayIconPicture();
}

void TestFlows::verifyFailedShotKept(const QString& clipboardBefore, const QImage& standardIcon)
{
    const QDir dir(m_user->path() + QStringLiteral("/home/brightloom_screens"));
    QTRY_COMPARE(dir.entryList(QDir::Files).size(), 1);
    const QString kept = dir.filePath(dir.entryList(QDir::Files).first());
    QVERIFY2(m_program->errorOutput().contains("Screenshot saved as " + kept),
             qPrintable(m_program->errorOutput()));
    const QImage image(kept);
    QCOMPARE(image.size(), QSize(101, 101));
    QVERIFY(patternMismatch(image, {100, 100}).isEmpty());

    // The program handles the click on its icon after the failure: a link that failure put on
    // the clipboard would be there by now.
    QVERIFY(glanceAtTrayMenu(*m_program));
    QCOMPARE(clipboard(), clipboardBefore);
    // Back to the standard icon: the uploading animation's frames all differ from it, so a
    // running animation cannot match it.
    QTRY_VERIFY_WITH_TIMEOUT(trayIconPicture() == standardIcon, kXTimeoutMs);
}

void TestFlows::refusedUploadKeepsReservedLink()
{
    // A service that reserves but refuses every upload.
    QString host;
    CTinyHttpServer fake([&host](const QByteArray& line) {
        return httpReply("application/json",
                         line.startsWith("POST /api/reserve_code")
                             ? "{\"status\":\"ok\",\"code\":\"abc\",\"url\":\"http://" + host.toLatin1() +
                                   "/abc\"}"
                             : QByteArray("{\"status\":\"error\",\"reason\":\"refused for the test\"}"));
    });
    QVERIFY(fake.isListening());
    host = fake.host();

    QVERIFY(startProgram(kHelpSeen, host));
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({100, 100}, {200, 200});
    QTRY_COMPARE_WITH_TIMEOUT(clipboard(), QStringLiteral("http://%1/abc").arg(host), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Critical"), 10000);
    QCOMPARE(clipboard(), QStringLiteral("http://%1/abc").arg(host));
}

void TestFlows::storedHotkeysAndHeldCombination()
{
    Display* other = XOpenDisplay(nullptr);
    QVERIFY(other);
    XGrabKey(other, XKeysymToKeycode(other, XStringToKeysym("m")), ControlMask | Mod1Mask,
             DefaultRootWindow(other), True, GrabModeAsync, GrabModeAsync);
    XSync(other, False);

    QVariantMap settings = kHelpSeen;
    settings.insert("single_shot_shortcut", "Ctrl+Alt+U");
    QVERIFY(startProgram(settings));
    QTRY_VERIFY(m_program->errorOutput().contains("held by another program"));

    xdotool({"key", "ctrl+alt+p"}); // the default is replaced
    xdotool({"key", "ctrl+alt+m"}); // held by the other client
    // The program handles the click on its icon after those keys: an overlay they opened
    // would be up before the menu.
    QVERIFY(glanceAtTrayMenu(*m_program));
    QVERIFY(!programOverlayShown());
    xdotool({"key", "ctrl+alt+u"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    xdotool({"key", "Escape"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    xdotool({"key", "ctrl+alt+l"}); // the others still work
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    xdotool({"key", "Escape"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    XCloseDisplay(other);
}

void TestFlows::welcomeScreenOnFirstStartOnly()
{
    QVERIFY(startProgram({}));
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value("show_pre_help").toBool(), true);
    xdotool({"key", "space"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    m_program.reset();

    QVERIFY(startProgram({}));
    // A welcome screen of this start would be up before the tray menu.
    QVERIFY(glanceAtTrayMenu(*m_program));
    QVERIFY(!programOverlayShown());
}

void TestFlows::urlUploadFromTrayMenu()
{
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(QColor(200, 30, 90));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    CTinyHttpServer source([png](const QByteArray&) { return httpReply("image/png", png); });
    QVERIFY(source.isListening());
    // "&" and "+" must reach the source unchanged through the client and the service.
    // The dialog accepts host names only (no address literals); localhost is loopback.
    const QString url = QStringLiteral("http://localhost:%1/pic.png?a=1&b=x+y").arg(source.serverPort());

    QVERIFY(startProgram(kHelpSeen));
    QVERIFY(chooseTrayEntry(*m_program, 2)); // "Upload image from U&RL..."
    QVERIFY(!waitForWindow(QStringLiteral("Upload image from URL")).isEmpty());
    xdotool({"type", "--delay", "5", url});
    xdotool({"key", "Return"});
    const QString link = waitForLink();
    QVERIFY(link.startsWith(m_service.baseUrl() + "/"));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."), 10000);
    QCOMPARE(source.requestLines.value(0), QByteArray("GET /pic.png?a=1&b=x+y HTTP/1.1"));
    const QImage served = QImage::fromData(httpGet(link + ".png").body);
    QCOMPARE(served.convertToFormat(QImage::Format_RGB32), picture);
}

void TestFlows::chosenStorageDirectoryTakesTheNextShot()
{
    const QString chosen = m_user->filePath("chosen-shots");
    QVERIFY(QDir().mkpath(chosen));
    QVERIFY(startProgram(kHelpSeen));
    QVERIFY(chooseTrayEntry(*m_program,
                            5)); // "Choose s&torage dir..." (separators and the hidden History are skipped)
    QVERIFY(!waitForWindow(QStringLiteral("Choose directory to store screenshots")).isEmpty());
    xdotool({"key", "ctrl+a"});
    xdotool({"type", "--delay", "5", chosen});
    xdotool({"key", "Return"});
    QTRY_VERIFY(visibleWindowsNamed(QStringLiteral("^Choose directory")).isEmpty());

    xdotool({"key", "ctrl+alt+l"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({300, 300}, {349, 339});
    QTRY_COMPARE(QDir(chosen).entryList(QDir::Files).size(), 1);
    const QImage shot(QDir(chosen).filePath(QDir(chosen).entryList(QDir::Files).first()));
    QCOMPARE(shot.size(), QSize(50, 40));
    QVERIFY(patternMismatch(shot, {300, 300}).isEmpty());
    QVERIFY(QDir(m_user->path() + "/home/brightloom_screens").entryList(QDir::Files).isEmpty());
}

void TestFlows::dropWidgetHotkeyDragAndRestart()
{
    QVariantMap settings = kHelpSeen;
    settings.insert("drop_widget_pos_x", 700);
    settings.insert("drop_widget_pos_y", 400);
    QVERIFY(startProgram(settings));
    const auto dropWindow = [] {
        for (const QString& id :
             xdotool({"search", "--onlyvisible", "--classname", "brightloom"}).split('\n'))
            if (!id.isEmpty() && windowGeometry(id).size() == QSize(60, 60))
                return id;
        return QString();
    };
    QVERIFY(dropWindow().isEmpty());
    xdotool({"key", "ctrl+alt+d"});
    QTRY_VERIFY(!dropWindow().isEmpty());
    xdotool({"key", "ctrl+alt+d"});
    QTRY_VERIFY(dropWindow().isEmpty());
    xdotool({"key", "ctrl+alt+d"});
    QTRY_VERIFY(!dropWindow().isEmpty());
    const QRect before = windowGeometry(dropWindow());

    // Drag it by 100 x 50 with the real pointer.
    const QPoint grip = before.center();
    xdotool({"mousemove", QString::number(grip.x()), QString::number(grip.y()), "mousedown", "1"});
    xdotool({"mousemove", QString::number(grip.x() + 50), QString::number(grip.y() + 25)});
    xdotool({"mousemove", QString::number(grip.x() + 100), QString::number(grip.y() + 50), "mouseup", "1"});
    QTRY_COMPARE(windowGeometry(dropWindow()).topLeft(), before.topLeft() + QPoint(100, 50));

    // "&Quit" writes where it was left; the next start shows it there.
    QVERIFY(quitFromTrayMenu(*m_program));
    m_program.reset();
    QVERIFY(startProgram({}));
    QTRY_VERIFY(!dropWindow().isEmpty());
    QCOMPARE(windowGeometry(dropWindow()).topLeft(), before.topLeft() + QPoint(100, 50));
}

QTEST_MAIN(TestFlows)
#include "tst_flows.moc"
