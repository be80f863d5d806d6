#pragma once

#include "api/httprequest.h"

#include <QUrl>

// Uploads an image by its web address; fetching the image is the service's job.
class CUploadUrlRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUploadUrlRequest)

public:
    CUploadUrlRequest(const QUrl& url, const QString& code);

    int kind() const override;
    QString path() const override;
    QByteArray body() const override;
    QNetworkRequest networkRequest() const override;
    void handleReply(QNetworkReply* reply) override;

signals:
    void uploadedOk(const QString& link);
    void uploadingFailed(const QString& errorDesc);

private:
    const QUrl m_url;
    const QString m_code;
};
