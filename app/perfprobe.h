#pragma once

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>

class QTimer;

// Timing diagnostics for the benchmark, off unless "brightloom.perf.debug" is
// switched on: timestamps on the machine's monotonic clock (comparable across
// processes) and the longest stall of the event loop.
Q_DECLARE_LOGGING_CATEGORY(lcPerf)

namespace BL::App {

// Microseconds on the monotonic clock shared by every process of the machine.
qint64 monotonicMicroseconds();

class CEventLoopLagProbe : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CEventLoopLagProbe)

public:
    explicit CEventLoopLagProbe(QObject* parent);

    // Starts a measurement: the probe ticks every millisecond until stop(), or until
    // kMaxArmedMs have passed, so that a shot that never finishes cannot leave it polling.
    void reset();
    void stop();
    // Longest time between reset() and stop() that the event loop could not run a 1 ms timer.
    qint64 maxBlockMicroseconds() const { return m_maxBlock; }
    // When that stall ended, on monotonicMicroseconds(): which part of the shot it held up.
    qint64 maxBlockEnd() const { return m_maxBlockEnd; }

    static constexpr int kMaxArmedMs = 20000;

private:
    QTimer* m_timer = nullptr;
    QTimer* m_disarm = nullptr;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_maxBlock = 0;
    qint64 m_maxBlockEnd = 0;
};

} // namespace BL::App
