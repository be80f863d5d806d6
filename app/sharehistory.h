#pragma once

#include "app/backgroundfilewriter.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

namespace BL::App {

enum class EShareKind { Picture, Comparison, Url };
enum class EShareState { Shared, UploadFailed };

// One share as the tray menu lists it. A failed upload has no link or secret, only the file
// the picture was kept in.
struct SShareRecord
{
    QString link;
    QString secret; // deletes the share at the service: as good as a password for it
    QDateTime time;
    EShareKind kind = EShareKind::Picture;
    QString thumbnail; // file name beside the list, empty while there is none
    EShareState state = EShareState::Shared;
    QString keptFile;
    // A share at an imported host: its name there, and what its reply named besides the link.
    QString host;
    QString deletionUrl; // deletes it, without credentials: as good as a password for it
    QString thumbnailUrl;

    // Names the entry in the menu and in remove(): the link, or the kept file of a failure.
    QString key() const { return state == EShareState::Shared ? link : keptFile; }
};

// The record of the user's shares, newest first, kept in one file of the user's data
// directory. It holds the secrets, so it is readable by the user only; it is rewritten whole
// and atomically after each change, so that a crash leaves the old list or the new one.
class CShareHistory : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CShareHistory)

public:
    static constexpr int maxEntries = 300;

    // Reads `directory`/shares.json. A file that cannot be read as a list is renamed aside
    // (with one warning) and a fresh, empty list written in its place.
    CShareHistory(const QString& directory, QObject* parent);
    // Waits for the files still being written.
    ~CShareHistory() override;

    const QList<SShareRecord>& entries() const { return m_entries; }
    QString directory() const { return m_directory; }
    QString fileName() const;
    // Where the thumbnail of `record` is kept, or empty when it has none.
    QString thumbnailPath(const SShareRecord& record) const;

    // Adds `record` as the newest; the oldest beyond maxEntries go, with their thumbnails.
    void add(const SShareRecord& record);
    void remove(const QString& key);
    // Stores the picture as the thumbnail of the entry `key` (PNG; an imported host's may be any
    // format Qt reads), off the GUI thread: the entry has it, and changed() is emitted, once its
    // file is written. False when there is no such entry to take one.
    bool setThumbnail(const QString& key, const QByteArray& png);
    // Waits until the list and the thumbnails given so far are on disk. Changes are written in the
    // background, in order; this and the destructor make sure nothing is lost.
    void flush();
    // Copies every record into fresh blocks at once. Records come one a shot, each among the
    // shot's short-lived blocks; once those are freed, every record keeps a mostly empty page of
    // the heap resident. Called while the program is idle, after the heap's free blocks have
    // been merged, the copies sit side by side and the pages of the old ones can go back.
    void compact();

signals:
    void changed();

private:
    void load();
    void save();
    void thumbnailWritten(const QString& key, const QString& name, const QString& path, bool kept);
    void dropThumbnail(const SShareRecord& record);

    QString m_directory;
    QList<SShareRecord> m_entries;
    CBackgroundFileWriter m_writer;
};

} // namespace BL::App
