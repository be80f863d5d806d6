#include "app/pictureencoder.h"

#include "api/multipartbody.h"
#include "platform/threadpriority.h"

#include <QImage>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

// Threads that only ever encode, so that their lowered priority touches nothing else.
QThreadPool* encodingPool()
{
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool(qApp);
        threads->setMaxThreadCount(2);
        return threads;
    }();
    return pool;
}

} // namespace

CPictureEncoder::CPictureEncoder(const QList<QPixmap>& pictures, QObject* parent) : QObject(parent)
{
    // QPixmap belongs to the GUI thread; the worker gets images.
    QList<QImage> images;
    for (const QPixmap& picture : pictures)
        images << picture.toImage();
    connect(&m_watcher, &QFutureWatcher<QList<QByteArray>>::finished, this, &CPictureEncoder::finished);
    // The link is reserved, put on the clipboard and the overlay torn down meanwhile: that is
    // what the person waits for, so it goes first when both want the processor.
    m_watcher.setFuture(QtConcurrent::run(encodingPool(), [images] {
        BL::Platform::lowerCurrentThreadPriority();
        QList<QByteArray> encoded;
        for (const QImage& image : images)
            encoded << BL::Api::encodePng(image, BL::Api::EPngThreads::TwoInBackground);
        return encoded;
    }));
}
