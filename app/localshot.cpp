#include "app/localshot.h"

#include "api/pngencoder.h"
#include "app/logging.h"

#include <QDateTime>
#include <QFile>
#include <QFutureWatcher>
#include <QPixmap>
#include <QtConcurrent>

namespace BL::App {

SLocalShotResult saveLocalShot(const QImage& picture, const QString& dir, const QDateTime& when)
{
    SLocalShotResult result;
    const QString stamp = when.toString(QStringLiteral("yyyy.MM.dd_hh.mm.ss"));
    // Encoded before a name is taken, so that no empty file is ever seen under it.
    const QByteArray png = BL::Api::encodeFastPng(picture);
    QFile file;
    for (int n = 1; n < 1000; ++n) {
        const QString suffix = n == 1 ? QString() : QStringLiteral("-") + QString::number(n);
        result.fileName = QStringLiteral("%1/%2%3_shot.png").arg(dir, stamp, suffix);
        file.setFileName(result.fileName);
        // NewOnly makes "is the name free" and "take it" one step.
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            result.saved = !png.isEmpty() && file.write(png) == png.size() && file.flush();
            file.close();
            if (!result.saved) {
                result.error = QStringLiteral("the picture could not be encoded or written");
                file.remove();
            }
            return result;
        }
        if (!file.exists())
            break; // not a name clash: the directory is missing or not writable
    }
    result.error = file.errorString();
    return result;
}

SLocalShotResult saveLocalShot(const QPixmap& picture, const QString& dir, const QDateTime& when)
{
    return saveLocalShot(picture.toImage(), dir, when);
}

QStringList keepUnsentPictures(const QList<QPixmap>& pictures, const QString& dir, const QDateTime& when)
{
    QStringList names;
    for (const QPixmap& picture : pictures) {
        if (picture.isNull())
            continue;
        const SLocalShotResult result = saveLocalShot(picture, dir, when);
        if (result.saved)
            names << result.fileName;
        else
            qCWarning(lcApp) << "could not keep an unsent picture as" << result.fileName << result.error;
    }
    return names;
}

CLocalShotWriter::CLocalShotWriter(QObject* parent) : QObject(parent) {}

void CLocalShotWriter::write(const QPixmap& picture, const QString& dir, const QDateTime& when)
{
    auto* watcher = new QFutureWatcher<SLocalShotResult>(this);
    connect(watcher, &QFutureWatcher<SLocalShotResult>::finished, this, [this, watcher] {
        watcher->deleteLater();
        emit written(watcher->result());
    });
    // QPixmap belongs to the GUI thread; the worker gets an image.
    watcher->setFuture(QtConcurrent::run(
        [image = picture.toImage(), dir, when] { return saveLocalShot(image, dir, when); }));
}

} // namespace BL::App
