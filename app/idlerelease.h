#pragma once

#include <QObject>

class QTimer;

namespace BL::App {

// Gives memory back to the system once the program has been quiet for a while after a shot or
// after the start: the screen-grab buffers, the pixmap cache and the heap's free pages. Between
// shots they would only sit in memory; the next shot makes what it needs again. Once it has been
// quiet for longer (the balloons of the shot gone too), the heap is trimmed once more and the
// libraries' pages that the shot touched leave as well; the next shot maps them again from the
// page cache.
class CIdleRelease : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CIdleRelease)

public:
    // Quiet time after a shot before its screen-sized buffers are given back.
    static constexpr int kIdleAfterShotMs = 3000;
    // Quiet time after the release before the heap is trimmed again and the libraries' pages go:
    // past the pixmap cache's sweep of its keys (30 s after the release, see release()), and
    // longer than the longest balloon, whose hiding would bring its code back at once.
    static constexpr int kTrimAfterReleaseMs = 31000;

    explicit CIdleRelease(QObject* parent);

    // Starts the quiet time over; the release follows once it has passed.
    void restart();

signals:
    // At the start of a release, before the process's share: the owner drops what only it can
    // drop (its window), so that the heap is trimmed after it.
    void releasing();
    // Later, once the heap's free blocks have been merged and before it is trimmed again: the
    // owner may copy what it keeps for good into fresh blocks, which then sit side by side.
    void settled();

private:
    void release();
    void trim();

    QTimer* m_timer = nullptr;
    QTimer* m_trimTimer = nullptr;
};

} // namespace BL::App
