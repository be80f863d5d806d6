#pragma once

#include "app/sharehistory.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <QSystemTrayIcon>

class QNetworkAccessManager;

namespace BL::App {

// The shares the tray menu offers again: each finished upload goes into the record with its
// secret and, once the service has made it, its thumbnail; a failed one with the file its
// picture was kept in. Deletes shares at the service and hands kept pictures back for another
// try. What the person should hear of it leaves through `notify`.
class CRecentShares : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CRecentShares)

public:
    CRecentShares(const QString& directory, QObject* parent);

    CShareHistory* history() const { return m_history; }
    // The entry named `key` (see SShareRecord::key), or null.
    const SShareRecord* find(const QString& key) const;

    // A finished upload: recorded, and its thumbnail fetched. A picture that was a retry of
    // a kept one takes that entry's place.
    void recordShared(const QString& secret, const QString& link, EShareKind kind,
                      const QList<QPixmap>& pictures);
    // A picture that arrived at the imported host `host`, which named its link and perhaps a
    // thumbnail (fetched for the menu) and a way to delete it. A retry of a kept picture takes
    // that entry's place.
    void recordHosted(const QString& host, const QString& link, const QString& thumbnailUrl,
                      const QString& deletionUrl, EShareKind kind, const QPixmap& picture);
    // Pictures that did not reach the service, kept as local shots in `dir` (a picture that
    // was itself a retry keeps the file it came from) and recorded as failures. Returns the
    // names of the files that hold them.
    QStringList keepFailed(const QList<QPixmap>& unsent, const QString& dir);
    // The kept picture of the failed entry `key` for another upload; null when it cannot be
    // read any more (the entry then goes) or is already on its way.
    QPixmap retry(const QString& key);
    // Asks the service to delete the share `key`; the entry goes once it has. A share at an
    // imported host is deleted by a bare POST to its deletion address; a host that wants more
    // gets its deletion page opened in the browser, for the person to finish there.
    void deleteShare(const QString& key);

signals:
    void notify(const QString& text, QSystemTrayIcon::MessageIcon icon);

private:
    void fetchThumbnail(const QString& link, int attempt = 0);
    void deleteHosted(const SShareRecord& record);
    // The thumbnail an imported host named, fetched without credentials.
    void fetchHostedThumbnail(const QString& link, const QString& address);
    QNetworkAccessManager* hostNetwork();

    CShareHistory* m_history = nullptr;
    // Pictures on their way again, by QPixmap::cacheKey, with the files they were kept in.
    QHash<qint64, QString> m_retrying;
    QNetworkAccessManager* m_network = nullptr; // for imported hosts, made when first needed
};

} // namespace BL::App
