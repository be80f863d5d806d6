#pragma once

#include "api/uploadrequest.h"

#include <QUrl>

// Uploads an image by its web address; fetching the image is the service's job.
class CUploadUrlRequest : public CUploadRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUploadUrlRequest)

public:
    CUploadUrlRequest(const QUrl& url, const QString& code);

    int kind() const override;
    QString path() const override;
    QByteArray body() const override;

private:
    const QUrl m_url;
    const QString m_code;
};
