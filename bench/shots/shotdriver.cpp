#include "shotdriver.h"

#include "procstats.h"
#include "programlog.h"
#include "x11session.h"
#include "xwatcher.h"

#include <QScopeGuard>
#include <QThread>
#include <cstdio>
#include <numeric>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

using BL::Test::CProgram;

namespace {

// A complete PNG ends with its IEND chunk.
bool isCompletePng(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 16 || !file.seek(file.size() - 8))
        return false;
    return file.read(8) == QByteArray("IEND\xae\x42\x60\x82", 8);
}

double ms(qint64 from, qint64 to)
{
    return (to - from) / 1000.0;
}

} // namespace

const char* CShotDriver::kindName(EKind kind)
{
    static const char* const names[KindCount] = {"upload", "local", "comparison", "URL", "file hand-off"};
    return names[kind];
}

CShotDriver::CShotDriver(CProgram& program, CProgramLog& log, CXWatcher& x, QSize screen,
                         const QDir& shotsDir, QProcessEnvironment env, quint64 trayIcon)
    : m_program(program), m_log(log), m_x(x), m_screen(screen), m_shotsDir(shotsDir), m_env(std::move(env)),
      m_trayIcon(trayIcon)
{
}

int CShotDriver::failures() const
{
    return std::accumulate(std::begin(m_failures), std::end(m_failures), 0);
}

void CShotDriver::failure(EKind kind, int shot, const char* why)
{
    ++m_failures[kind];
    std::fprintf(stderr, "shot %d failed at %lld us: %s: %s\n", shot, nowUs(), kindName(kind), why);
    // Whatever the program still shows would take the next shot's keys.
    m_x.press("Escape");
}

unsigned long CShotDriver::openOverlay(const char* letter, SShot* out, bool fromRest)
{
    if (fromRest && !waitForMainThreadAsleep(m_program.pid(), 5000))
        std::fprintf(stderr, "the program's main thread did not come to rest before a shot\n");
    m_x.drainEvents();
    m_x.move(m_screen.width() / 2, m_screen.height() / 2);
    m_log.skipPast("perf hotkey");
    const qint64 keyAt = nowUs();
    m_x.hotkey(letter);
    Window overlay = 0;
    const qint64 mappedAt = m_x.waitForMap(m_screen.width(), 5000, &overlay);
    if (mappedAt < 0)
        return 0;
    out->toMap = ms(keyAt, mappedAt);
    QList<qint64> slot;
    if (m_log.waitFor("perf hotkey", 2000, &slot) && !slot.isEmpty())
        out->toSlot = ms(keyAt, slot.at(0));
    QThread::msleep(150); // the overlay arranges itself on the next loop pass
    return overlay;
}

void CShotDriver::dragOver(QRect area)
{
    m_x.move(area.left(), area.top());
    m_x.button(true);
    m_x.move(area.center().x(), area.center().y());
    m_x.move(area.right() + 1, area.bottom() + 1);
}

bool CShotDriver::waitForUpload(EKind kind, int shot, qint64 since, SShot* out)
{
    const qint64 clipboardAt = m_x.waitForClipboardOwner(10000);
    QList<qint64> numbers;
    if (!m_log.waitFor("perf uploaded", 20000, &numbers) || numbers.size() < 2) {
        failure(kind, shot, "no acknowledgement");
        return false;
    }
    if (clipboardAt < 0) {
        failure(kind, shot, "no link on the clipboard");
        return false;
    }
    out->toClipboard = ms(since, clipboardAt);
    out->toDone = ms(since, numbers.at(0));
    // The stall probe runs from an overlay's show to the end of its shot: other uploads have none.
    if (kind == Upload || kind == Comparison)
        out->maxBlock = numbers.at(1) / 1000.0;
    return true;
}

bool CShotDriver::uploadShot(int shot, SShot* out, bool fromRest)
{
    *out = {};
    m_x.takeClipboard();
    const qint64 faultsBefore = minorFaults(m_program.pid());
    if (!openOverlay("p", out, fromRest)) {
        failure(Upload, shot, "no overlay mapped");
        return false;
    }
    dragOver(QRect(QPoint(0, 0), m_screen - QSize(1, 1)));
    const qint64 releaseAt = nowUs();
    m_x.button(false);
    if (!waitForUpload(Upload, shot, releaseAt, out))
        return false;
    out->faults = double(minorFaults(m_program.pid()) - faultsBefore);
    return true;
}

bool CShotDriver::localShot(int shot, QRect area, SShot* out)
{
    *out = {};
    // Told by the kernel of each file closed or moved into the folder: listing a folder that
    // fills with a thousand shots would cost more than the program's own work.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
    ::inotify_add_watch(watch, QFile::encodeName(m_shotsDir.path()).constData(),
                        IN_CLOSE_WRITE | IN_MOVED_TO);
    const qint64 faultsBefore = minorFaults(m_program.pid());
    const Window overlay = openOverlay("l", out);
    if (!overlay) {
        failure(Local, shot, "no overlay mapped");
        return false;
    }
    dragOver(area);
    const qint64 releaseAt = nowUs();
    m_x.button(false);
    const qint64 goneAt = m_x.waitForUnmap(overlay, 10000);
    qint64 fileAt = -1;
    alignas(inotify_event) char events[4096];
    for (const qint64 deadline = nowUs() + 10000000; fileAt < 0 && nowUs() < deadline;) {
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(watch, events, sizeof(events));
        for (ssize_t at = 0; n > 0 && at < n && fileAt < 0;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len && isCompletePng(m_shotsDir.filePath(QFile::decodeName(event->name))))
                fileAt = nowUs();
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    QList<qint64> numbers;
    if (goneAt < 0 || fileAt < 0 || !m_log.waitFor("perf saved", 10000, &numbers) || numbers.size() < 2) {
        failure(Local, shot,
                goneAt < 0   ? "overlay not unmapped"
                : fileAt < 0 ? "no complete file"
                             : "no saved line");
        return false;
    }
    out->toGone = ms(releaseAt, goneAt);
    out->toDone = ms(releaseAt, fileAt);
    out->maxBlock = numbers.at(1) / 1000.0;
    out->faults = double(minorFaults(m_program.pid()) - faultsBefore);
    return true;
}

bool CShotDriver::comparisonShot(int shot, QRect first, QRect second, SShot* out)
{
    *out = {};
    m_x.takeClipboard();
    const qint64 faultsBefore = minorFaults(m_program.pid());
    const Window overlay = openOverlay("m", out);
    if (!overlay) {
        failure(Comparison, shot, "no overlay mapped");
        return false;
    }
    dragOver(first);
    m_x.button(false);
    // Moved away for the grab, the overlay comes back over the screen for the second area.
    if (!m_log.waitFor("comparison overlay shown again", 10000) ||
        !m_x.waitForPosition(overlay, 0, 0, 5000)) {
        failure(Comparison, shot, "overlay not back for the second area");
        return false;
    }
    QThread::msleep(150);
    dragOver(second);
    const qint64 releaseAt = nowUs();
    m_x.button(false);
    if (!waitForUpload(Comparison, shot, releaseAt, out))
        return false;
    out->faults = double(minorFaults(m_program.pid()) - faultsBefore);
    return true;
}

bool CShotDriver::urlShot(int shot, const QByteArray& url, SShot* out)
{
    *out = {};
    m_x.takeClipboard();
    const QRect icon = BL::Test::windowGeometry(QString::number(m_trayIcon));
    bool boxShown = false;
    // Keys sent as soon as the menu is mapped can come before the menu has taken the keyboard,
    // which a person's never do: they go elsewhere, and the menu is closed and opened again.
    for (int menuTry = 0; menuTry < 3 && !boxShown; ++menuTry) {
        if (menuTry > 0) {
            ++m_repeats[Url];
            m_x.press("Escape");
        }
        bool opened = false;
        // A balloon over the icon takes a click meant for it: the next click reaches the icon.
        for (int click = 0; click < 3 && !opened; ++click) {
            m_x.drainEvents();
            BL::Test::xdotool({"mousemove", QString::number(icon.center().x()),
                               QString::number(icon.center().y()), "click", "3"});
            opened = m_x.waitForMenu(3000) >= 0;
        }
        if (!opened) {
            failure(Url, shot, "no tray menu");
            return false;
        }
        m_x.press("Down"); // "Upload image from U&RL..."
        m_x.press("Down");
        m_x.press("Return");
        boxShown = m_x.waitForActiveWindow("Upload image from URL", 3000) >= 0;
    }
    if (!boxShown) {
        failure(Url, shot, "no URL box");
        return false;
    }
    m_x.type(url);
    const qint64 enterAt = nowUs();
    m_x.press("Return");
    return waitForUpload(Url, shot, enterAt, out);
}

bool CShotDriver::fileShot(int shot, const QString& file, SShot* out)
{
    *out = {};
    m_x.takeClipboard();
    m_x.drainEvents();
    QProcess client;
    client.setProcessEnvironment(m_env);
    const qint64 startAt = nowUs();
    client.start(CProgram::binaryPath() + QStringLiteral("-upload"), {file});
    if (!client.waitForFinished(30000) || client.exitStatus() != QProcess::NormalExit ||
        client.exitCode() != 0) {
        failure(FileHandOff, shot, "the client did not hand the file over");
        return false;
    }
    return waitForUpload(FileHandOff, shot, startAt, out);
}
