#include "app/idlerelease.h"

#include "app/perfprobe.h"
#include "platform/processtuning.h"
#include "platform/screengrab.h"

#include <QPixmap>
#include <QPixmapCache>
#include <QTimer>

namespace BL::App {

namespace {

constexpr char kSweepMarker[] = "brightloom-sweep";

} // namespace

CIdleRelease::CIdleRelease(QObject* parent)
    : QObject(parent), m_timer(new QTimer(this)), m_trimTimer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(kIdleAfterShotMs);
    connect(m_timer, &QTimer::timeout, this, &CIdleRelease::release);
    m_trimTimer->setSingleShot(true);
    m_trimTimer->setInterval(kTrimAfterReleaseMs);
    connect(m_trimTimer, &QTimer::timeout, this, &CIdleRelease::trim);
}

void CIdleRelease::restart()
{
    m_trimTimer->stop();
    m_timer->start();
}

void CIdleRelease::release()
{
    emit releasing();
    BL::Platform::releaseScreenGrabBuffers();
    // Every balloon brings new standard icons whose scaled copies stay in the pixmap cache
    // (up to 10 MiB) long after the balloon is gone.
    QPixmapCache::clear();
    // clear() leaves the cache's table of text keys behind: some 200 bytes a key, a dozen keys
    // a balloon, strewn over the heap where they keep whole pages from going back. Qt drops the
    // keys of gone pixmaps only in a sweep 30 s after an insertion starts its timer: a marker
    // starts it, and trim() gives back what the sweep freed.
    QPixmap marker(1, 1);
    marker.fill(Qt::transparent);
    QPixmapCache::insert(QString::fromLatin1(kSweepMarker), marker);
    BL::Platform::releaseFreeMemory();
    // The benchmark reads the memory figures only after this, not after a guessed pause.
    qCDebug(lcPerf) << "perf released" << monotonicMicroseconds();
    m_trimTimer->start();
}

void CIdleRelease::trim()
{
    QPixmapCache::remove(QString::fromLatin1(kSweepMarker));
    BL::Platform::releaseFreeMemory();
    emit settled();
    BL::Platform::releaseFreeMemory();
    // Said before, not after: writing the line runs code whose pages would come straight back.
    qCDebug(lcPerf) << "perf trimmed" << monotonicMicroseconds() << "heap-in-use"
                    << BL::Platform::heapBytesInUse();
    BL::Platform::releaseMappedFilePages();
    BL::Platform::releaseLibraryPages();
}

} // namespace BL::App
