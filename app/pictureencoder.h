#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QPixmap>

// Encodes pictures as PNG on a worker thread, so that a full-screen shot does
// not freeze the overlay or the tray while it is compressed. The encoding starts
// at once and runs while the link is being reserved.
class CPictureEncoder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPictureEncoder)

public:
    CPictureEncoder(const QList<QPixmap>& pictures, QObject* parent);

    bool isFinished() const { return m_watcher.isFinished(); }
    // The PNG bytes, in the order of the pictures; only once finished.
    QList<QByteArray> result() const { return m_watcher.result(); }

signals:
    void finished();

private:
    QFutureWatcher<QList<QByteArray>> m_watcher;
};
