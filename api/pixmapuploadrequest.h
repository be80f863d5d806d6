#pragma once

#include "api/uploadrequest.h"

#include <QPixmap>
#include <QVector>

// What both picture uploads share: the path, the headers and the multipart body
// that carries their PNG files.
class CPictureUploadRequest : public CUploadRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPictureUploadRequest)

public:
    QString path() const override;
    QByteArray body() const override;

    // The device pixel ratio of the screen the pictures were taken on; sent as "scale" when
    // it is not 1, so that the page shows them at their size on that screen.
    void setScale(qreal ratio) { m_scale = ratio; }

protected:
    // One or two pictures; the first goes out as "upload-file", the second as "upload-file2".
    CPictureUploadRequest(const QVector<QPixmap>& pixmaps, const QString& code);
    CPictureUploadRequest(const QVector<QByteArray>& pngs, const QString& code);

private:
    const QVector<QPixmap> m_pixmaps;
    const QString m_code;
    // Encoding is the expensive part of a body, and a body may be built more than once.
    mutable QVector<QByteArray> m_pngs;
    mutable bool m_pngReady = false;
    qreal m_scale = 1.0;
};

// Uploads one picture (a single shot, a dropped image or an image file) under a
// reserved code, tied to the user's account when signed in.
class CPixmapUploadRequest : public CPictureUploadRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPixmapUploadRequest)

public:
    CPixmapUploadRequest(const QPixmap& pixmap, const QString& code);
    // With the picture already encoded as PNG (the encoding may run off the GUI thread).
    CPixmapUploadRequest(const QByteArray& png, const QString& code);

    int kind() const override;
};

// Uploads the two pictures of a comparison shot as one pair.
class CUploadComparisonShotRequest : public CPictureUploadRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUploadComparisonShotRequest)

public:
    CUploadComparisonShotRequest(const QPixmap& firstPixmap, const QPixmap& secondPixmap,
                                 const QString& code);
    CUploadComparisonShotRequest(const QByteArray& firstPng, const QByteArray& secondPng,
                                 const QString& code);

    int kind() const override;
};
