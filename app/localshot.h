#pragma once

#include <QImage>
#include <QList>
#include <QObject>
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
// Safe off the GUI thread.
SLocalShotResult saveLocalShot(const QImage& picture, const QString& dir, const QDateTime& when);
SLocalShotResult saveLocalShot(const QPixmap& picture, const QString& dir, const QDateTime& when);

// Saves pictures that failed to reach the service the way a local shot is saved, so that a
// failed upload never loses them. Returns the names written, in order; a picture that could not
// be written is logged and left out.
QStringList keepUnsentPictures(const QList<QPixmap>& pictures, const QString& dir, const QDateTime& when);

// Writes local shots on a worker thread, so that the overlay can leave the screen at once and
// the GUI thread never waits for the encoder or the disk. Each write ends in one `written`, on
// the GUI thread, once the file is complete on disk (or could not be written).
class CLocalShotWriter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CLocalShotWriter)

public:
    explicit CLocalShotWriter(QObject* parent);

    void write(const QPixmap& picture, const QString& dir, const QDateTime& when);

signals:
    void written(const BL::App::SLocalShotResult& result);
};

} // namespace BL::App
