#include "app/localshot.h"

#include "app/logging.h"

#include <QDateTime>
#include <QFile>
#include <QPixmap>

namespace BL::App {

SLocalShotResult saveLocalShot(const QPixmap& picture, const QString& dir, const QDateTime& when)
{
    SLocalShotResult result;
    const QString stamp = when.toString(QStringLiteral("yyyy.MM.dd_hh.mm.ss"));
    QFile file;
    for (int n = 1; n < 1000; ++n) {
        const QString suffix = n == 1 ? QString() : QStringLiteral("-") + QString::number(n);
        result.fileName = QStringLiteral("%1/%2%3_shot.png").arg(dir, stamp, suffix);
        file.setFileName(result.fileName);
        // NewOnly makes "is the name free" and "take it" one step.
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            result.saved = picture.save(&file, "PNG");
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

} // namespace BL::App
