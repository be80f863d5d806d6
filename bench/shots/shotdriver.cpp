#include "shotdriver.h"

#include "procstats.h"
#include "x11session.h"
#include "xwatcher.h"

#include <QThread>
#include <cstdio>

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

CShotDriver::CShotDriver(CProgram& program, CXWatcher& x, QSize screen, const QDir& shotsDir)
    : m_program(program), m_x(x), m_screen(screen), m_shotsDir(shotsDir)
{
}

void CShotDriver::failure(int shot, const char* why)
{
    ++m_failures;
    std::fprintf(stderr, "shot %d failed at %lld us: %s\n", shot, nowUs(), why);
}

bool CShotDriver::uploadShot(int shot, SUploadShot* out)
{
    const int w = m_screen.width(), h = m_screen.height();
    m_x.takeClipboard();
    m_x.drainEvents();
    m_x.move(w / 2, h / 2);
    const qint64 faultsBefore = minorFaults(m_program.pid());
    const qint64 keyAt = nowUs();
    m_x.hotkey("p");
    const qint64 mappedAt = m_x.waitForMap(w, 5000);
    if (mappedAt < 0) {
        failure(shot, "upload: no overlay mapped");
        return false;
    }
    QThread::msleep(150); // the overlay arranges itself on the next loop pass
    m_x.move(0, 0);
    m_x.button(true);
    m_x.move(w / 2, h / 2);
    m_x.move(w - 1, h - 1);
    const qint64 releaseAt = nowUs();
    m_x.button(false);
    const qint64 clipboardAt = m_x.waitForClipboardOwner(10000);
    qint64 uploadedAt = -1, blockUs = -1;
    for (const qint64 deadline = nowUs() + 20000000; nowUs() < deadline && uploadedAt < 0;) {
        m_program.process().waitForReadyRead(20);
        qint64 at = -1, block = -1;
        const int seen = lastMatch(m_program.errorOutput(), m_uploadedRe, &at, &block);
        if (seen > m_uploadedSeen) {
            m_uploadedSeen = seen;
            uploadedAt = at;
            blockUs = block;
        }
    }
    if (clipboardAt < 0 || uploadedAt < 0) {
        failure(shot, clipboardAt < 0 ? "upload: no link on the clipboard" : "upload: no acknowledgement");
        return false;
    }
    *out = {(mappedAt - keyAt) / 1000.0, (clipboardAt - releaseAt) / 1000.0,
            (uploadedAt - releaseAt) / 1000.0, blockUs / 1000.0,
            double(minorFaults(m_program.pid()) - faultsBefore)};
    return true;
}

bool CShotDriver::localShot(int shot, QRect area, SLocalShot* out)
{
    const int filesBefore = m_shotsDir.entryList(QDir::Files).size();
    m_x.drainEvents();
    m_x.hotkey("l");
    Window overlay = 0;
    if (m_x.waitForMap(m_screen.width(), 5000, &overlay) < 0) {
        failure(shot, "local: no overlay mapped");
        return false;
    }
    QThread::msleep(150);
    m_x.move(area.left(), area.top());
    m_x.button(true);
    m_x.move(area.center().x(), area.center().y());
    m_x.move(area.right() + 1, area.bottom() + 1);
    const qint64 releaseAt = nowUs();
    m_x.button(false);
    const qint64 goneAt = m_x.waitForUnmap(overlay, 10000);
    qint64 fileAt = -1;
    for (const qint64 deadline = nowUs() + 10000000; nowUs() < deadline && fileAt < 0;) {
        const QStringList files = m_shotsDir.entryList(QDir::Files, QDir::Time);
        if (files.size() > filesBefore && isCompletePng(m_shotsDir.filePath(files.first())))
            fileAt = nowUs();
        else
            QThread::usleep(500);
    }
    if (goneAt < 0 || fileAt < 0) {
        failure(shot, goneAt < 0 ? "local: overlay not unmapped" : "local: no complete file");
        return false;
    }
    *out = {(goneAt - releaseAt) / 1000.0, (fileAt - releaseAt) / 1000.0, -1};
    QThread::msleep(300);
    qint64 at = -1, block = -1;
    m_program.process().waitForReadyRead(20);
    const int seen = lastMatch(m_program.errorOutput(), m_savedRe, &at, &block);
    if (seen > m_savedSeen) {
        m_savedSeen = seen;
        out->maxBlock = block / 1000.0;
    }
    return true;
}
