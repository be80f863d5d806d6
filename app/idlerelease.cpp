#include "app/idlerelease.h"

#include "app/perfprobe.h"
#include "platform/processtuning.h"
#include "platform/screengrab.h"

#include <QPixmapCache>
#include <QTimer>

namespace BL::App {

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
    BL::Platform::releaseFreeMemory();
    // The benchmark reads the memory figures only after this, not after a guessed pause.
    qCDebug(lcPerf) << "perf released" << monotonicMicroseconds();
    m_trimTimer->start();
}

void CIdleRelease::trim()
{
    // Said before, not after: writing the line runs code whose pages would come straight back.
    qCDebug(lcPerf) << "perf trimmed" << monotonicMicroseconds() << "heap-in-use"
                    << BL::Platform::heapBytesInUse();
    BL::Platform::releaseLibraryPages();
}

} // namespace BL::App
