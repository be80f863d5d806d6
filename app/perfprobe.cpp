#include "app/perfprobe.h"

#include <QTimer>
#include <chrono>

Q_LOGGING_CATEGORY(lcPerf, "brightloom.perf", QtWarningMsg)

namespace BL::App {

qint64 monotonicMicroseconds()
{
    // steady_clock is CLOCK_MONOTONIC on Linux: the same clock in every process.
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

CEventLoopLagProbe::CEventLoopLagProbe(QObject* parent)
    : QObject(parent), m_timer(new QTimer(this)), m_disarm(new QTimer(this))
{
    // A 1 ms timer wakes the CPU a thousand times a second: it runs only while a shot is timed,
    // never while the program sits in the tray.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(1);
    connect(m_timer, &QTimer::timeout, this, [this] {
        const qint64 now = m_clock.nsecsElapsed() / 1000;
        if (now - m_last > m_maxBlock) {
            m_maxBlock = now - m_last;
            m_maxBlockEnd = monotonicMicroseconds();
        }
        m_last = now;
    });
    m_disarm->setSingleShot(true);
    m_disarm->setInterval(kMaxArmedMs);
    connect(m_disarm, &QTimer::timeout, this, &CEventLoopLagProbe::stop);
    m_clock.start();
}

void CEventLoopLagProbe::reset()
{
    m_last = m_clock.nsecsElapsed() / 1000;
    m_maxBlock = 0;
    m_maxBlockEnd = 0;
    m_timer->start();
    m_disarm->start();
}

void CEventLoopLagProbe::stop()
{
    // The stall that ends here counts too.
    if (m_timer->isActive() && m_clock.nsecsElapsed() / 1000 - m_last > m_maxBlock) {
        m_maxBlock = m_clock.nsecsElapsed() / 1000 - m_last;
        m_maxBlockEnd = monotonicMicroseconds();
    }
    m_timer->stop();
    m_disarm->stop();
}

} // namespace BL::App
