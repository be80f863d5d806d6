#include "app/recentshares.h"

#include "api/deleterequest.h"
#include "api/servermanager.h"
#include "app/localshot.h"
#include "app/logging.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace BL::App {

CRecentShares::CRecentShares(const QString& directory, QObject* parent)
    : QObject(parent), m_history(new CShareHistory(directory, this))
{
}

const SShareRecord* CRecentShares::find(const QString& key) const
{
    for (const SShareRecord& record : m_history->entries())
        if (record.key() == key)
            return &record;
    return nullptr;
}

void CRecentShares::recordShared(const QString& secret, const QString& link, EShareKind kind,
                                 const QList<QPixmap>& pictures)
{
    for (const QPixmap& picture : pictures) {
        const QString kept = m_retrying.take(picture.cacheKey());
        if (!kept.isEmpty())
            m_history->remove(kept);
    }
    SShareRecord record;
    record.link = link;
    record.secret = secret;
    record.time = QDateTime::currentDateTime();
    record.kind = kind;
    m_history->add(record);
    fetchThumbnail(link);
}

void CRecentShares::recordHosted(const QString& host, const QString& link, const QString& thumbnailUrl,
                                 const QString& deletionUrl, EShareKind kind, const QPixmap& picture)
{
    const QString kept = m_retrying.take(picture.cacheKey());
    if (!kept.isEmpty())
        m_history->remove(kept);
    SShareRecord record;
    record.link = link;
    record.host = host;
    record.thumbnailUrl = thumbnailUrl;
    record.deletionUrl = deletionUrl;
    record.time = QDateTime::currentDateTime();
    record.kind = kind;
    m_history->add(record);
    if (!thumbnailUrl.isEmpty())
        fetchHostedThumbnail(link, thumbnailUrl);
}

QStringList CRecentShares::keepFailed(const QList<QPixmap>& unsent, const QString& dir)
{
    QStringList names;
    for (const QPixmap& picture : unsent) {
        // A retry that failed again is still in its file and still listed.
        const QString kept = m_retrying.take(picture.cacheKey());
        if (!kept.isEmpty()) {
            names << kept;
            continue;
        }
        const QStringList written = keepUnsentPictures({picture}, dir, QDateTime::currentDateTime());
        for (const QString& name : written) {
            SShareRecord record;
            record.time = QDateTime::currentDateTime();
            record.state = EShareState::UploadFailed;
            record.keptFile = QFileInfo(name).absoluteFilePath();
            m_history->add(record);
        }
        names << written;
    }
    return names;
}

QPixmap CRecentShares::retry(const QString& key)
{
    const SShareRecord* record = find(key);
    if (!record || record->state != EShareState::UploadFailed)
        return QPixmap();
    for (const QString& file : qAsConst(m_retrying))
        if (file == key)
            return QPixmap();
    const QPixmap picture = QFileInfo(key).isFile() ? QPixmap(key) : QPixmap();
    if (picture.isNull()) {
        emit notify(tr("%1 could not be uploaded again: the file is gone or is no picture.")
                        .arg(QDir::toNativeSeparators(key)),
                    QSystemTrayIcon::Warning);
        m_history->remove(key);
        return QPixmap();
    }
    m_retrying.insert(picture.cacheKey(), key);
    return picture;
}

void CRecentShares::deleteShare(const QString& key)
{
    const SShareRecord* record = find(key);
    if (!record || record->state != EShareState::Shared)
        return;
    if (!record->host.isEmpty()) {
        deleteHosted(*record);
        return;
    }
    auto* request = new CDeleteRequest(record->secret);
    request->setTransferTimeout(30000);
    connect(
        request, &CDeleteRequest::deleted, this,
        [this, key] {
            m_history->remove(key);
            emit notify(tr("The share was deleted.\n%1 no longer shows it.").arg(key),
                        QSystemTrayIcon::Information);
        });
    connect(
        request, &CDeleteRequest::refused, this,
        [this](const QString& reason) {
            emit notify(tr("The service did not delete the share: %1.").arg(reason),
                        QSystemTrayIcon::Warning);
        });
    connect(request, &CDeleteRequest::errorOccured, this, [this](const QString& error) {
        emit notify(error + tr("\nThe share is still listed; try again later."), QSystemTrayIcon::Warning);
    });
    CServerManager::instance()->sendRequest(request);
}

void CRecentShares::deleteHosted(const SShareRecord& record)
{
    const QString key = record.key();
    const QUrl address(record.deletionUrl, QUrl::StrictMode);
    if (record.deletionUrl.isEmpty() || !address.isValid()) {
        emit notify(tr("%1 named no way to delete this share; it is still listed.").arg(record.host),
                    QSystemTrayIcon::Warning);
        return;
    }
    QNetworkRequest request(address);
    // A redirect is the host asking for more than the address: the browser finishes it.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    request.setTransferTimeout(30000);
    QNetworkReply* reply = hostNetwork()->post(request, QByteArray());
    connect(reply, &QNetworkReply::finished, this, [this, reply, key, address, host = record.host] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 200 && status <= 299) {
            m_history->remove(key);
            emit notify(tr("The share was deleted.\n%1 no longer shows it.").arg(key),
                        QSystemTrayIcon::Information);
            return;
        }
        qCInfo(lcApp) << "deletion at" << host << "answered" << status << reply->errorString();
        if (QDesktopServices::openUrl(address))
            emit notify(
                tr("%1 did not delete the share at once: its deletion page is open in your browser to "
                   "finish there.")
                    .arg(host),
                QSystemTrayIcon::Information);
        else
            emit notify(tr("%1 did not delete the share at once; open %2 in a browser to finish there.")
                            .arg(host, address.toString()),
                        QSystemTrayIcon::Warning);
    });
}

QNetworkAccessManager* CRecentShares::hostNetwork()
{
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        // The addresses alone count: no cookies of earlier requests go with them.
        m_network->setCookieJar(nullptr);
    }
    return m_network;
}

void CRecentShares::fetchHostedThumbnail(const QString& link, const QString& address)
{
    // A thumbnail is small; anything larger is not one and is not read to its end.
    constexpr qint64 maxBytes = 4 * 1024 * 1024;
    QNetworkRequest request{QUrl(address, QUrl::StrictMode)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(30000);
    QNetworkReply* reply = hostNetwork()->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > maxBytes || total > maxBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, link] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray picture =
            status == 200 && reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
        if (picture.isEmpty() || !m_history->setThumbnail(link, picture))
            qCDebug(lcApp) << "no thumbnail kept for" << link;
    });
}

void CRecentShares::fetchThumbnail(const QString& link, int attempt)
{
    // The service makes the thumbnail after it has answered the upload, so the first asks often
    // come too early; later ones wait longer, up to some 16 s in all.
    constexpr int kAttempts = 7;
    auto* request = new CThumbnailRequest(link.section(QLatin1Char('/'), -1));
    request->setTransferTimeout(30000);
    connect(request, &CThumbnailRequest::fetched, this, [this, link](const QByteArray& png) {
        if (!m_history->setThumbnail(link, png))
            qCDebug(lcApp) << "no thumbnail kept for" << link;
    });
    // Without one the entry simply shows no picture.
    connect(request, &CThumbnailRequest::failed, this, [this, link, attempt] {
        if (attempt + 1 >= kAttempts || !find(link)) {
            qCDebug(lcApp) << "no thumbnail could be fetched for" << link;
            return;
        }
        QTimer::singleShot(250 << attempt, this, [this, link, attempt] {
            if (find(link))
                fetchThumbnail(link, attempt + 1);
        });
    });
    CServerManager::instance()->sendRequest(request);
}

} // namespace BL::App
