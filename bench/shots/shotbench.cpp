// Times the program on a private X session against the reference service on loopback, as a
// person meets it: hotkey -> overlay mapped and release -> link on the clipboard (both seen by
// another X client), release -> upload acknowledged, the longest stall of the program's GUI
// thread, local shots (release -> overlay gone, release -> complete PNG file on disk), wake-ups
// while idle and memory; and, in the same run, Qt's default PNG encoder against ours on the
// same areas. Prints min / median / max next to each target; asserts nothing.
#include "api/pngencoder.h"
#include "serviceprocess.h"
#include "x11session.h"
#include "xwatcher.h"

#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <X11/Xlib.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace BL::Test;

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Smooth shading with grain, as a photo.
QImage photoLike(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    quint32 seed = 7;
    for (int y = 0; y < size.height(); ++y) {
        auto* px = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = int((seed >> 24) % 17) - 8;
            const double v = std::sin(x * 0.013) * std::cos(y * 0.021) * 60 + std::sin((x + y) * 0.005) * 40;
            auto c = [&](double base) { return qBound(0, int(base + v) + grain, 255); };
            px[x] = qRgb(c(120), c(100 + y * 0.05), c(90 + x * 0.03));
        }
    }
    return image;
}

// Something like a working desktop: panels, text, a gradient and a photo in `photo`.
class CDesktopWindow : public QWidget
{
public:
    explicit CDesktopWindow(QRect photo)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint), m_photoRect(photo),
          m_photo(photoLike(photo.size()))
    {
    }

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
        p.drawImage(m_photoRect.topLeft(), m_photo);
    }

private:
    QRect m_photoRect;
    QImage m_photo;
};

// Minor page faults of the process so far: each one costs microseconds, more in a virtual machine.
qint64 minorFaults(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which may itself hold spaces; minflt is the 10th field.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 7 ? fields.at(7).toLongLong() : -1;
}

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression re(QStringLiteral("VmRSS:\\s+(\\d+)"));
    const auto m = re.match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// Context switches of every thread of the process so far: each one is a wake-up.
qint64 contextSwitches(qint64 pid, bool mainThreadOnly)
{
    qint64 sum = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (mainThreadOnly && tid.toLongLong() != pid)
            continue;
        QFile status(tasks + "/" + tid + "/status");
        if (!status.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(status.readAll());
        for (auto it = QRegularExpression(QStringLiteral("ctxt_switches:\\s+(\\d+)")).globalMatch(text);
             it.hasNext();)
            sum += it.next().captured(1).toLongLong();
    }
    return sum;
}

// A complete PNG ends with its IEND chunk.
bool isCompletePng(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 16 || !file.seek(file.size() - 8))
        return false;
    return file.read(8) == QByteArray("IEND\xae\x42\x60\x82", 8);
}

struct SRow
{
    const char* name;
    std::vector<double> values;
    QString target;
};

void printRow(const SRow& row)
{
    std::vector<double> v = row.values;
    if (v.empty()) {
        std::printf("%-44s %33s  target %s\n", row.name, "(no figures)", qPrintable(row.target));
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%-44s %9.1f %9.1f %9.1f   target %s\n", row.name, v.front(), median(v), v.back(),
                qPrintable(row.target));
}

template<typename Encode> std::vector<double> timeEncoder(int runs, qint64* bytes, Encode encode)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        *bytes = encode().size();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return ms;
}

QByteArray qtPng(const QImage& image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

// The numbers of the last program line matching `re` and how many matched.
int lastMatch(const QString& output, const QRegularExpression& re, qint64* first, qint64* second)
{
    int seen = 0;
    for (auto it = re.globalMatch(output); it.hasNext(); ++seen) {
        const auto m = it.next();
        *first = m.captured(1).toLongLong();
        *second = m.captured(2).toLongLong();
    }
    return seen;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"runs", "Timed shots of each kind (min / median / max over them).", "n", "20"});
    parser.addOption({"rss-shots", "Shots before the second memory reading.", "n", "500"});
    parser.addOption({"idle-seconds", "Quiet time over which wake-ups are counted.", "s", "30"});
    parser.addOption({"cold-shots", "Upload shots taken after a pause, as from cold.", "n", "10"});
    parser.addOption(
        {"log", "Where to keep the program's and the service's output (perf lines) after the run.", "file"});
    parser.process(app);
    const int runs = qMax(1, parser.value("runs").toInt());
    const int rssShots = qMax(runs, parser.value("rss-shots").toInt());
    const int idleSeconds = qMax(1, parser.value("idle-seconds").toInt());
    const int coldShots = qMax(0, parser.value("cold-shots").toInt());

    QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen->geometry().size();
    const QRect photoRect(QPoint(qMax(0, size.width() - 880), qMax(0, size.height() - 660)),
                          QSize(800, 600).boundedTo(size));
    std::printf("screen %dx%d, %d timed shots of each kind, memory after %d shots, idle %d s\n", size.width(),
                size.height(), runs, rssShots, idleSeconds);

    CDesktopWindow desktop(photoRect);
    desktop.setGeometry(screen->geometry());
    desktop.show();
    // Let the window manager map it and the compositor show it before grabbing.
    for (int i = 0; i < 100; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }

    // Qt's default encoder and ours on the very areas the shots below take.
    const QImage area = screen->grabWindow(0).toImage();
    const QImage photo = area.copy(photoRect);
    qint64 qtBytes = 0, ourBytes = 0, qtPhotoBytes = 0, ourPhotoBytes = 0;
    const auto qtMs = timeEncoder(
        runs, &qtBytes, [&] { return qtPng(area); });
    const auto ourMs = timeEncoder(
        runs, &ourBytes, [&] { return BL::Api::encodeFastPng(area); });
    const auto qtPhotoMs = timeEncoder(
        runs, &qtPhotoBytes, [&] { return qtPng(photo); });
    const auto ourPhotoMs = timeEncoder(runs, &ourPhotoBytes, [&] { return BL::Api::encodeFastPng(photo); });
    const double qtMedian = median(qtMs), qtPhotoMedian = median(qtPhotoMs);

    QTemporaryDir root;
    CServiceProcess service;
    // A shot every few hundred milliseconds is far beyond the 60 reservations a minute the
    // service grants one address; refused shots would be counted as failures of the program.
    if (!service.start(root.filePath("service"),
                       {"--quiet", "--rate-limits", "1000000,10,20,10", "--upload-limits", "1000000,10"})) {
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
    const QDir shotsDir(user + "/home/brightloom_screens"); // the default; never created by the program
    QDir().mkpath(shotsDir.path());
    CProgram program(env);
    const QStringList iconsBefore = trayIconWindows();
    Display* dpy = XOpenDisplay(nullptr);
    CXWatcher x(dpy);
    x.drainEvents();
    const qint64 startedAt = nowUs();
    const bool started = program.start();
    const qint64 dockedAt = started ? x.waitForDock("brightloom", "panel", 20000) : -1;
    if (!started || program.waitForTrayIcon(iconsBefore).isEmpty()) {
        std::fprintf(stderr, "program did not start:\n%s\n", qPrintable(program.errorOutput()));
        return 1;
    }
    QThread::msleep(3000);
    QCoreApplication::processEvents();
    const qint64 rssIdle = rssKiB(program.pid());
    const qint64 wakeMain0 = contextSwitches(program.pid(), true),
                 wakeAll0 = contextSwitches(program.pid(), false);
    QThread::sleep(idleSeconds);
    const double wakeMain = contextSwitches(program.pid(), true) - wakeMain0;
    const double wakeAll = contextSwitches(program.pid(), false) - wakeAll0;

    x.drainEvents();
    std::vector<double> toMap, toClipboard, toUploaded, maxBlock, localGone, localFile, localBlock;
    const QRegularExpression uploadedRe(QStringLiteral("perf uploaded (\\d+) max-block (\\d+)"));
    const QRegularExpression savedRe(QStringLiteral("perf saved (\\d+) max-block (\\d+)"));
    int uploadedSeen = 0, savedSeen = 0, failures = 0;
    auto failure = [&failures](int shot, const char* why) {
        ++failures;
        std::fprintf(stderr, "shot %d failed at %lld us: %s\n", shot, nowUs(), why);
    };
    // One full-screen upload shot, timed from outside; false when it did not complete.
    struct SUploadShot
    {
        double toMap = 0, toClipboard = 0, toUploaded = 0, maxBlock = 0, faults = 0;
    };
    auto uploadShot = [&](int shot, SUploadShot* out) {
        x.takeClipboard();
        x.drainEvents();
        x.move(size.width() / 2, size.height() / 2);
        const qint64 faultsBefore = minorFaults(program.pid());
        const qint64 keyAt = nowUs();
        x.hotkey("p");
        const qint64 mappedAt = x.waitForMap(size.width(), 5000);
        if (mappedAt < 0) {
            failure(shot, "upload: no overlay mapped");
            return false;
        }
        QThread::msleep(150); // the overlay arranges itself on the next loop pass
        x.move(0, 0);
        x.button(true);
        x.move(size.width() / 2, size.height() / 2);
        x.move(size.width() - 1, size.height() - 1);
        const qint64 releaseAt = nowUs();
        x.button(false);
        const qint64 clipboardAt = x.waitForClipboardOwner(10000);
        qint64 uploadedAt = -1, blockUs = -1;
        for (const qint64 deadline = nowUs() + 20000000; nowUs() < deadline && uploadedAt < 0;) {
            program.process().waitForReadyRead(20);
            qint64 at = -1, block = -1;
            const int seen = lastMatch(program.errorOutput(), uploadedRe, &at, &block);
            if (seen > uploadedSeen) {
                uploadedSeen = seen;
                uploadedAt = at;
                blockUs = block;
            }
        }
        if (clipboardAt < 0 || uploadedAt < 0) {
            failure(shot,
                    clipboardAt < 0 ? "upload: no link on the clipboard" : "upload: no acknowledgement");
            return false;
        }
        *out = {(mappedAt - keyAt) / 1000.0, (clipboardAt - releaseAt) / 1000.0,
                (uploadedAt - releaseAt) / 1000.0, blockUs / 1000.0,
                double(minorFaults(program.pid()) - faultsBefore)};
        return true;
    };
    // Each after a pause longer than the program's idle time, as a person takes them: the
    // program has given its shot buffers back and starts from cold.
    std::vector<double> coldClipboard, coldUploaded, coldBlock, coldFaults, hotFaults;
    for (int shot = 0; shot < coldShots; ++shot) {
        QThread::msleep(4500);
        SUploadShot timing;
        if (uploadShot(shot, &timing)) {
            coldClipboard.push_back(timing.toClipboard);
            coldUploaded.push_back(timing.toUploaded);
            coldBlock.push_back(timing.maxBlock);
            coldFaults.push_back(timing.faults);
        }
    }
    qint64 rssFirst = -1;
    for (int shot = 0; shot < rssShots; ++shot) {
        SUploadShot timing;
        if (!uploadShot(shot, &timing))
            continue;
        if (rssFirst < 0) {
            QThread::msleep(300);
            rssFirst = rssKiB(program.pid());
        }
        if (shot < runs) {
            toMap.push_back(timing.toMap);
            toClipboard.push_back(timing.toClipboard);
            toUploaded.push_back(timing.toUploaded);
            maxBlock.push_back(timing.maxBlock);
            hotFaults.push_back(timing.faults);
        }
    }

    // Local shots of the photo: the overlay must go at once, the file follows.
    for (int shot = 0; shot < runs; ++shot) {
        const int filesBefore = shotsDir.entryList(QDir::Files).size();
        x.drainEvents();
        x.hotkey("l");
        Window overlay = 0;
        if (x.waitForMap(size.width(), 5000, &overlay) < 0) {
            failure(shot, "local: no overlay mapped");
            continue;
        }
        QThread::msleep(150);
        x.move(photoRect.left(), photoRect.top());
        x.button(true);
        x.move(photoRect.center().x(), photoRect.center().y());
        x.move(photoRect.right() + 1, photoRect.bottom() + 1);
        const qint64 releaseAt = nowUs();
        x.button(false);
        const qint64 goneAt = x.waitForUnmap(overlay, 10000);
        qint64 fileAt = -1;
        for (const qint64 deadline = nowUs() + 10000000; nowUs() < deadline && fileAt < 0;) {
            const QStringList files = shotsDir.entryList(QDir::Files, QDir::Time);
            if (files.size() > filesBefore && isCompletePng(shotsDir.filePath(files.first())))
                fileAt = nowUs();
            else
                QThread::usleep(500);
        }
        if (goneAt < 0 || fileAt < 0) {
            failure(shot, goneAt < 0 ? "local: overlay not unmapped" : "local: no complete file");
            continue;
        }
        localGone.push_back((goneAt - releaseAt) / 1000.0);
        localFile.push_back((fileAt - releaseAt) / 1000.0);
        QThread::msleep(300);
        qint64 at = -1, block = -1;
        program.process().waitForReadyRead(20);
        const int seen = lastMatch(program.errorOutput(), savedRe, &at, &block);
        if (seen > savedSeen) {
            savedSeen = seen;
            localBlock.push_back(block / 1000.0);
        }
    }
    // The program gives its shot buffers back a few seconds after the last shot.
    QThread::msleep(4000);
    const qint64 rssAfter = rssKiB(program.pid());

    auto mib = [](qint64 kib) -> QString { return QString::number(kib / 1024.0, 'f', 1) + " MiB"; };
    std::printf("\nencoders on the same areas (%d runs each)                min    median       max\n", runs);
    printRow({"Qt default PNG, full screen (ms)", qtMs, QString("%1 bytes").arg(qtBytes)});
    // Our encoder's targets: half of Qt's time, at most a tenth more bytes.
    auto oursTarget = [](double qtMedianMs, qint64 ours, qint64 qt) {
        return QString("<= %1 = 0.5 x Qt; %2 bytes = %3 x Qt (<= 1.1)")
            .arg(qtMedianMs / 2, 0, 'f', 1)
            .arg(ours)
            .arg(double(ours) / qMax<qint64>(1, qt), 0, 'f', 3);
    };
    printRow({"ours, full screen (ms)", ourMs, oursTarget(qtMedian, ourBytes, qtBytes)});
    printRow({"Qt default PNG, 800x600 photo (ms)", qtPhotoMs, QString("%1 bytes").arg(qtPhotoBytes)});
    printRow(
        {"ours, 800x600 photo (ms)", ourPhotoMs, oursTarget(qtPhotoMedian, ourPhotoBytes, qtPhotoBytes)});
    std::printf("\nthe program                                              min    median       max\n");
    printRow({"hotkey -> overlay mapped, seen by X (ms)", toMap, "(no target; was about 2)"});
    printRow({"release -> link on clipboard, XFixes (ms)", toClipboard, "<= 8"});
    printRow({"release -> upload acknowledged (ms)", toUploaded,
              QString("<= 50 and <= %1 = 0.5 x Qt encode").arg(qtMedian / 2, 0, 'f', 1)});
    printRow({"longest GUI stall per upload shot (ms)", maxBlock, "<= 16 worst"});
    printRow({"minor page faults per upload shot", hotFaults, "(no target)"});
    printRow({"cold: release -> link on clipboard (ms)", coldClipboard, "<= 8"});
    printRow({"cold: release -> upload acknowledged (ms)", coldUploaded, "<= 50"});
    printRow({"cold: longest GUI stall per shot (ms)", coldBlock, "<= 16 worst"});
    printRow({"cold: minor page faults per shot", coldFaults, "(no target)"});
    printRow({"local: release -> overlay gone, X (ms)", localGone, "<= 10"});
    printRow({"local: release -> complete PNG file (ms)", localFile,
              QString("<= %1 = 0.5 x Qt encode of the area").arg(qtPhotoMedian / 2, 0, 'f', 1)});
    printRow({"longest GUI stall per local shot (ms)", localBlock, "<= 16 worst"});
    if (dockedAt >= 0)
        std::printf("start -> tray icon docked, seen from another X client: %.1f ms\n",
                    (dockedAt - startedAt) / 1000.0);
    else
        std::printf("start -> tray icon docked: not seen\n");
    std::printf("wake-ups idle %d s after start: main thread %.0f, whole process %.0f  (target <= 5)\n",
                idleSeconds, wakeMain, wakeAll);
    std::printf("RSS idle after start: %s (target <= 30 MiB); after the first shot: %s\n",
                qPrintable(mib(rssIdle)), qPrintable(mib(rssFirst)));
    std::printf("RSS after %d upload and %d local shots: %s (%+.1f MiB, target <= +1)\n", rssShots, runs,
                qPrintable(mib(rssAfter)), (rssAfter - rssIdle) / 1024.0);
    std::printf("failed shots: %d\n", failures);
    if (parser.isSet("log")) {
        QFile log(parser.value("log"));
        QCoreApplication::processEvents();
        if (log.open(QIODevice::WriteOnly))
            log.write(program.errorOutput().toUtf8() + service.log().toUtf8());
        else
            std::fprintf(stderr, "could not write %s\n", qPrintable(log.fileName()));
    }
    XCloseDisplay(dpy);
    return 0;
}
