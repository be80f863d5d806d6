#include "app/idlerelease.h"

#include "app/perfprobe.h"
#include "platform/processtuning.h"
#include "platform/screengrab.h"

#include <QPixmapCache>
#include <QTimer>

namespace BL::App {

CIdleRelease::CIdleRelease(QObject* parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(kIdleAfterShotMs);
    connect(m_timer, &QTimer::timeout, this, &CIdleRelease::release);
}

void CIdleRelease::restart()
{
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
    BL::Platform::releaseLoaderPages();
    // The benchmark reads the memory figures only after this, not after a guessed pause.
    qCDebug(lcPerf) << "perf released" << monotonicMicroseconds();
}

} // namespace BL::App
