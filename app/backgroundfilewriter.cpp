#include "app/backgroundfilewriter.h"

#include "app/logging.h"
#include "platform/threadpriority.h"

#include <QMutexLocker>
#include <QRunnable>
#include <QSaveFile>

namespace BL::App {

CBackgroundFileWriter::CBackgroundFileWriter()
{
    // One thread keeps the jobs in order; it goes once idle, so a quiet program holds none.
    m_thread.setMaxThreadCount(1);
    m_thread.setExpiryTimeout(10000);
}

CBackgroundFileWriter::~CBackgroundFileWriter()
{
    flush();
}

void CBackgroundFileWriter::replace(const QString& path, const QByteArray& bytes)
{
    {
        QMutexLocker locker(&m_lock);
        const bool queued = m_pending.contains(path);
        m_pending.insert(path, bytes);
        if (queued)
            return;
    }
    run([this, path] {
        QByteArray newest;
        {
            QMutexLocker locker(&m_lock);
            newest = m_pending.take(path);
        }
        replaceNow(path, newest);
    });
}

void CBackgroundFileWriter::run(std::function<void()> job)
{
    m_thread.start(QRunnable::create([job = std::move(job)] {
        // Nobody waits for these files, while the next shot may already be opening: decoding
        // and scaling a thumbnail yield to it.
        BL::Platform::lowerCurrentThreadPriority();
        job();
    }));
}

void CBackgroundFileWriter::flush()
{
    m_thread.waitForDone();
}

bool CBackgroundFileWriter::replaceNow(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    // Restricted before a byte is written: what these files hold is the user's alone.
    const bool written = file.open(QIODevice::WriteOnly) &&
                         file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                         file.write(bytes) == bytes.size() && file.commit();
    if (!written)
        qCWarning(lcApp) << "could not write" << path << file.errorString();
    return written;
}

} // namespace BL::App
