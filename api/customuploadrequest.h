#pragma once

#include "api/customuploader.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace BL::Api {

// Where an image host put the picture, as its custom-uploader file reads the reply.
struct SCustomUploadResult
{
    QString url;
    QString thumbnailUrl;
    QString deletionUrl;
};

// Sends one picture to an image host the way its custom-uploader file says and reads the link out
// of the reply. Redirects are followed here, at most five, so that credentials never travel
// further than the host the file names: a redirect to another origin (scheme, host or port)
// goes without the file's headers and without cookies. A reply is read up to 1 MiB.
class CCustomUploadRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CCustomUploadRequest)

public:
    // `file` is sent as `fileName`, with `mimeType`.
    CCustomUploadRequest(SCustomUploader uploader, QByteArray file, QString fileName, QString mimeType,
                         QObject* parent = nullptr);
    ~CCustomUploadRequest() override;

    void start(QNetworkAccessManager* network);
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

    static constexpr int maxRedirects = 5;
    static constexpr qint64 maxReplyBytes = 1024 * 1024;

signals:
    void succeeded(const BL::Api::SCustomUploadResult& result);
    // In words for the person: the host's own message when its file says where it is.
    void failed(const QString& message);

private:
    void send(const QUrl& url, const QByteArray& method, bool withBody, bool withHeaders);
    void onFinished();
    void finishWith(const QByteArray& body, int status, const QList<QPair<QByteArray, QByteArray>>& headers);
    QByteArray buildBody(QByteArray* contentType) const;
    QUrl firstUrl() const;

    const SCustomUploader m_uploader;
    const QByteArray m_file;
    const QString m_fileName;
    const QString m_mimeType;
    QPointer<QNetworkAccessManager> m_network;
    QPointer<QNetworkReply> m_reply;
    QUrl m_origin; // the file's host: credentials go nowhere else
    QUrl m_url;
    QByteArray m_body;
    QByteArray m_contentType;
    int m_redirects = 0;
    int m_transferTimeoutMs = 0;
    bool m_tooLarge = false;
};

} // namespace BL::Api
