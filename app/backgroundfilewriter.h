#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <functional>

namespace BL::App {

// Writes files on a thread of its own, one job after another in the order given, so that the
// GUI thread never waits for a disk: each replaced file is synced before it is renamed into
// place, which on a busy disk takes tens of milliseconds. The thread ends when it has had
// nothing to do for a while. flush() and the destructor wait for every job: nothing is lost.
class CBackgroundFileWriter
{
    Q_DISABLE_COPY_MOVE(CBackgroundFileWriter)

public:
    CBackgroundFileWriter();
    ~CBackgroundFileWriter();

    // Replaces `path` atomically with `bytes`, readable and writable by the owner only. Of
    // several replacements of one file that wait together, only the newest is written.
    void replace(const QString& path, const QByteArray& bytes);
    // Runs `job` on the writer's thread after everything given before it.
    void run(std::function<void()> job);
    // Waits until every job given so far is done.
    void flush();

    // Writes `bytes` to `path` through a temporary file renamed into place, owner-only before the
    // first byte. Returns whether the file now holds them.
    static bool replaceNow(const QString& path, const QByteArray& bytes);

private:
    QThreadPool m_thread;
    QMutex m_lock;
    // The newest contents of each file whose replacement has not started yet.
    QHash<QString, QByteArray> m_pending;
};

} // namespace BL::App
