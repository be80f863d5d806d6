#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QDateTime;
class QPixmap;

namespace BL::App {

struct SLocalShotResult
{
    bool saved = false;
    QString fileName; // the name written, or the last one tried
    QString error;    // why it was not saved
};

// Saves `picture` as "<dir>/<yyyy.MM.dd_hh.mm.ss>_shot.png". Never overwrites: a second shot
// within the same second gets "-2", "-3", ... before "_shot.png". The directory is not created.
SLocalShotResult saveLocalShot(const QPixmap& picture, const QString& dir, const QDateTime& when);

// Saves pictures that failed to reach the service the way a local shot is saved, so that a
// failed upload never loses them. Returns the names written, in order; a picture that could not
// be written is logged and left out.
QStringList keepUnsentPictures(const QList<QPixmap>& pictures, const QString& dir, const QDateTime& when);

} // namespace BL::App
