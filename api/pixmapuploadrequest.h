#pragma once

#include "api/httprequest.h"

#include <QPixmap>

// Uploads one picture (a single shot, a dropped image or an image file) under a
// reserved code, tied to the user's account when signed in.
class CPixmapUploadRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPixmapUploadRequest)

public:
    CPixmapUploadRequest(const QPixmap& pixmap, const QString& code);
    // With the picture already encoded as PNG (the encoding may run off the GUI thread).
    CPixmapUploadRequest(const QByteArray& png, const QString& code);

    int kind() const override;
    QString path() const override;
    QByteArray body() const override;
    QNetworkRequest networkRequest() const override;
    void handleReply(QNetworkReply* reply) override;

signals:
    void uploadedOk(const QString& link);
    void uploadingFailed(const QString& errorDesc);

private:
    const QPixmap m_pixmap;
    const QString m_code;
    // body() runs twice per send (length header, then posting); encode once.
    mutable QByteArray m_png;
    mutable bool m_pngReady = false;
};

// Uploads the two pictures of a comparison shot as one pair.
class CUploadComparisonShotRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUploadComparisonShotRequest)

public:
    CUploadComparisonShotRequest(const QPixmap& firstPixmap, const QPixmap& secondPixmap,
                                 const QString& code);
    CUploadComparisonShotRequest(const QByteArray& firstPng, const QByteArray& secondPng,
                                 const QString& code);

    int kind() const override;
    QString path() const override;
    QByteArray body() const override;
    QNetworkRequest networkRequest() const override;
    void handleReply(QNetworkReply* reply) override;

signals:
    void uploadedOk(const QString& link);
    void uploadingFailed(const QString& errorDesc);

private:
    const QPixmap m_firstPixmap;
    const QPixmap m_secondPixmap;
    const QString m_code;
    mutable QByteArray m_firstPng;
    mutable QByteArray m_secondPng;
    mutable bool m_pngReady = false;
};
