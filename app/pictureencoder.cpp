#include "app/pictureencoder.h"

#include "api/multipartbody.h"

#include <QImage>
#include <QtConcurrent>

CPictureEncoder::CPictureEncoder(const QList<QPixmap>& pictures, QObject* parent) : QObject(parent)
{
    // QPixmap belongs to the GUI thread; the worker gets images.
    QList<QImage> images;
    for (const QPixmap& picture : pictures)
        images << picture.toImage();
    connect(&m_watcher, &QFutureWatcher<QList<QByteArray>>::finished, this, &CPictureEncoder::finished);
    m_watcher.setFuture(QtConcurrent::run([images] {
        QList<QByteArray> encoded;
        for (const QImage& image : images)
            encoded << BL::Api::encodePng(image, BL::Api::EPngThreads::One);
        return encoded;
    }));
}
