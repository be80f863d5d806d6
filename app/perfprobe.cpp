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

CEventLoopLagProbe::CEventLoopLagProbe(QObject* parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(1);
    connect(m_timer, &QTimer::timeout, this, [this] {
        const qint64 now = m_clock.nsecsElapsed() / 1000;
        m_maxBlock = qMax(m_maxBlock, now - m_last);
        m_last = now;
    });
    m_clock.start();
    m_timer->start();
}

void CEventLoopLagProbe::reset()
{
    m_last = m_clock.nsecsElapsed() / 1000;
    m_maxBlock = 0;
}

} // namespace BL::App
