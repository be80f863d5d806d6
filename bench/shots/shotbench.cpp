// Times the program's main event on a private X session against the reference
// service on loopback: hotkey -> overlay mapped, mouse release -> link on the
// clipboard, mouse release -> upload acknowledged, the longest stall of the
// program's GUI thread during a shot, and the program's memory. Prints figures;
// asserts nothing.
#include "serviceprocess.h"
#include "x11session.h"

#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace BL::Test;

namespace {

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Something like a working desktop: panels, text, a photo-like gradient.
class CDesktopWindow : public QWidget
{
public:
    CDesktopWindow() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        QLinearGradient sky(0, 0, width(), height());
        sky.setColorAt(0, QColor(40, 90, 160));
        sky.setColorAt(1, QColor(220, 140, 60));
        p.fillRect(rect(), sky);
        quint32 seed = 12345;
        auto rnd = [&seed](int n) {
            seed = seed * 1664525u + 1013904223u;
            return int((seed >> 8) % quint32(n));
        };
        for (int w = 0; w < 6; ++w) {
            const QRect win(rnd(width() - 600), 40 + rnd(height() - 500), 500 + rnd(300), 300 + rnd(200));
            p.fillRect(win, QColor(245, 245, 242));
            p.fillRect(QRect(win.topLeft(), QSize(win.width(), 28)), QColor(60, 70, 90));
            p.setPen(Qt::black);
            for (int line = 0; line < (win.height() - 40) / 16; ++line) {
                QString text;
                for (int word = 0; word < 8 + rnd(6); ++word)
                    text += QString(3 + rnd(7), QChar('a' + rnd(26))) + ' ';
                p.drawText(win.left() + 10, win.top() + 46 + line * 16, text);
            }
        }
    }
};

class CDriver
{
public:
    explicit CDriver(Display* dpy) : m_dpy(dpy)
    {
        m_clipboard = XInternAtom(dpy, "CLIPBOARD", False);
        m_owner = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
        XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    }

    void takeClipboard()
    {
        XSetSelectionOwner(m_dpy, m_clipboard, m_owner, CurrentTime);
        XSync(m_dpy, False);
    }

    bool clipboardTaken() { return XGetSelectionOwner(m_dpy, m_clipboard) != m_owner; }

    void drainEvents()
    {
        while (XPending(m_dpy)) {
            XEvent e;
            XNextEvent(m_dpy, &e);
        }
    }

    // Waits for a window at least `minWidth` wide to be mapped; returns the time or -1.
    qint64 waitForMap(int minWidth, int timeoutMs)
    {
        const qint64 deadline = nowUs() + qint64(timeoutMs) * 1000;
        while (nowUs() < deadline) {
            while (XPending(m_dpy)) {
                XEvent e;
                XNextEvent(m_dpy, &e);
                if (e.type != MapNotify)
                    continue;
                const qint64 t = nowUs();
                XWindowAttributes a;
                if (XGetWindowAttributes(m_dpy, e.xmap.window, &a) && a.width >= minWidth)
                    return t;
            }
            QThread::usleep(100);
        }
        return -1;
    }

    void key(const char* name, bool down)
    {
        XTestFakeKeyEvent(m_dpy, XKeysymToKeycode(m_dpy, XStringToKeysym(name)), down, CurrentTime);
    }

    void hotkey(const char* letter)
    {
        key("Control_L", true);
        key("Alt_L", true);
        key(letter, true);
        key(letter, false);
        key("Alt_L", false);
        key("Control_L", false);
        XFlush(m_dpy);
    }

    void move(int x, int y)
    {
        XTestFakeMotionEvent(m_dpy, -1, x, y, CurrentTime);
        XFlush(m_dpy);
    }

    void button(bool down)
    {
        XTestFakeButtonEvent(m_dpy, 1, down, CurrentTime);
        XFlush(m_dpy);
    }

private:
    Display* m_dpy;
    Atom m_clipboard;
    Window m_owner;
};

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression re(QStringLiteral("VmRSS:\\s+(\\d+)"));
    const auto m = re.match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"runs", "Timed shots (median over them).", "n", "20"});
    parser.addOption({"rss-shots", "Shots before the second memory reading.", "n", "500"});
    parser.process(app);
    const int runs = qMax(1, parser.value("runs").toInt());
    const int rssShots = qMax(runs, parser.value("rss-shots").toInt());

    QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen->geometry().size();
    std::printf("screen %dx%d, %d timed shots, memory after %d shots\n", size.width(), size.height(), runs,
                rssShots);

    CDesktopWindow desktop;
    desktop.setGeometry(screen->geometry());
    desktop.show();
    // Let the window manager map it and the compositor show it before grabbing.
    for (int i = 0; i < 100; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }

    // Baseline: a bare PNG encode of the same area.
    const QImage area = screen->grabWindow(0).toImage();
    std::vector<double> encodeMs;
    qint64 pngBytes = 0;
    for (int i = 0; i < 5; ++i) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QElapsedTimer t;
        t.start();
        area.save(&buffer, "PNG");
        encodeMs.push_back(t.nsecsElapsed() / 1e6);
        pngBytes = png.size();
    }

    QTemporaryDir root;
    CServiceProcess service;
    if (!service.start(root.filePath("service"), {"--quiet"})) {
        std::fprintf(stderr, "service did not start:\n%s\n", qPrintable(service.log()));
        return 1;
    }
    const QString user = root.filePath("user");
    QProcessEnvironment env = privateUserEnvironment(user);
    env.insert("BL_SERVICE_HOST", service.host());
    env.insert("QT_LOGGING_RULES", "brightloom.perf.debug=true");
    {
        QSettings s(user + "/config/Brightloom/Brightloom.conf", QSettings::IniFormat);
        s.setValue("show_pre_help", true);
        s.setValue("show_paste_help", true);
    }
    CProgram program(env);
    const QStringList iconsBefore = trayIconWindows();
    if (!program.start() || program.waitForTrayIcon(iconsBefore).isEmpty()) {
        std::fprintf(stderr, "program did not start:\n%s\n", qPrintable(program.errorOutput()));
        return 1;
    }
    QThread::msleep(1000);
    QCoreApplication::processEvents();
    const qint64 rssIdle = rssKiB(program.pid());

    Display* dpy = XOpenDisplay(nullptr);
    CDriver driver(dpy);
    std::vector<double> toMap, toClipboard, toEncoded, toUploaded, maxBlock;
    const QRegularExpression encodedRe(QStringLiteral("perf encoded (\\d+)"));
    const QRegularExpression uploadedRe(QStringLiteral("perf uploaded (\\d+) max-block (\\d+)"));
    int uploadedSeen = 0;
    int failures = 0;
    qint64 rssFirst = -1;
    for (int shot = 0; shot < rssShots; ++shot) {
        const bool timed = shot < runs;
        driver.takeClipboard();
        driver.drainEvents();
        driver.move(size.width() / 2, size.height() / 2);
        const qint64 keyAt = nowUs();
        driver.hotkey("p");
        const qint64 mappedAt = driver.waitForMap(size.width(), 5000);
        if (mappedAt < 0) {
            ++failures;
            continue;
        }
        QThread::msleep(150); // the overlay arranges itself on the next loop pass
        driver.move(0, 0);
        driver.button(true);
        driver.move(size.width() / 2, size.height() / 2);
        driver.move(size.width() - 1, size.height() - 1);
        const qint64 releaseAt = nowUs();
        driver.button(false);
        qint64 clipboardAt = -1;
        while (nowUs() - releaseAt < 10000000) {
            if (driver.clipboardTaken()) {
                clipboardAt = nowUs();
                break;
            }
            QThread::usleep(200);
        }
        // Wait for the acknowledgement line of this shot.
        qint64 uploadedAt = -1, blockUs = -1;
        const qint64 deadline = nowUs() + 20000000;
        while (nowUs() < deadline) {
            program.process().waitForReadyRead(50);
            auto it = uploadedRe.globalMatch(program.errorOutput());
            int seen = 0;
            QRegularExpressionMatch last;
            while (it.hasNext()) {
                last = it.next();
                ++seen;
            }
            if (seen > uploadedSeen) {
                uploadedSeen = seen;
                uploadedAt = last.captured(1).toLongLong();
                blockUs = last.captured(2).toLongLong();
                break;
            }
        }
        if (clipboardAt < 0 || uploadedAt < 0) {
            ++failures;
            continue;
        }
        if (rssFirst < 0) {
            QThread::msleep(300);
            rssFirst = rssKiB(program.pid());
        }
        if (timed) {
            // The last "encoded" line before this shot's acknowledgement.
            qint64 encodedAt = -1;
            for (auto it = encodedRe.globalMatch(program.errorOutput()); it.hasNext();)
                encodedAt = it.next().captured(1).toLongLong();
            if (encodedAt > 0)
                toEncoded.push_back((encodedAt - releaseAt) / 1000.0);
            toMap.push_back((mappedAt - keyAt) / 1000.0);
            toClipboard.push_back((clipboardAt - releaseAt) / 1000.0);
            toUploaded.push_back((uploadedAt - releaseAt) / 1000.0);
            maxBlock.push_back(blockUs / 1000.0);
        }
    }
    // The program gives its shot buffers back a few seconds after the last shot.
    QThread::msleep(4000);
    const qint64 rssAfter = rssKiB(program.pid());

    std::printf("bare PNG encode of %dx%d: median %.1f ms (%lld bytes)\n", size.width(), size.height(),
                median(encodeMs), pngBytes);
    std::printf("hotkey -> overlay mapped:          median %7.1f ms  (target <= 40)\n", median(toMap));
    std::printf("release -> link on clipboard:      median %7.1f ms  (target <= 30)\n", median(toClipboard));
    std::printf("release -> upload acknowledged:    median %7.1f ms  (target <= %.1f = 1.2 x encode)\n",
                median(toUploaded), 1.2 * median(encodeMs));
    std::printf("  of which release -> PNG ready:  median %7.1f ms (grab, then encoding on a worker)\n",
                median(toEncoded));
    std::printf("longest GUI-thread stall per shot: median %7.1f ms, worst %.1f ms  (target <= 16)\n",
                median(maxBlock),
                maxBlock.empty() ? 0.0 : *std::max_element(maxBlock.begin(), maxBlock.end()));
    std::printf(
        "RSS idle at start: %.1f MiB (target <= 35); after %d shots: %.1f MiB (%+.1f MiB, target <= +2)\n",
        rssIdle / 1024.0, rssShots, rssAfter / 1024.0, (rssAfter - rssIdle) / 1024.0);
    std::printf("RSS after the first shot: %.1f MiB (one-time costs: buffers of the full-screen overlay)\n",
                rssFirst / 1024.0);
    std::printf("failed shots: %d\n", failures);
    XCloseDisplay(dpy);
    return 0;
}
