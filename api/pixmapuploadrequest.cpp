#include "api/pixmapuploadrequest.h"

#include "api/multipartbody.h"
#include "api/user.h"

namespace Multipart = BL::Api::Multipart;
using BL::Api::EHeader;

namespace {
const QVector<EHeader> kPictureHeaders{EHeader::Host, EHeader::MultipartContentType, EHeader::ContentLength};
} // namespace

CPictureUploadRequest::CPictureUploadRequest(const QVector<QPixmap>& pixmaps, const QString& code)
    : CUploadRequest(kPictureHeaders), m_pixmaps(pixmaps), m_code(code)
{
}

CPictureUploadRequest::CPictureUploadRequest(const QVector<QByteArray>& pngs, const QString& code)
    : CUploadRequest(kPictureHeaders), m_code(code), m_pngs(pngs), m_pngReady(true)
{
}

QString CPictureUploadRequest::path() const
{
    return QStringLiteral("/api/upload.php");
}

QByteArray CPictureUploadRequest::body() const
{
    if (!m_pngReady) {
        for (const QPixmap& pixmap : m_pixmaps)
            m_pngs.append(BL::Api::encodePng(pixmap));
        m_pngReady = true;
    }
    QByteArray body;
    Multipart::appendOpening(body);
    const CUser* user = CUser::instance();
    if (user->isSignedIn())
        Multipart::appendField(body, "hash", user->userHash());
    if (!m_code.isEmpty())
        Multipart::appendField(body, "code", m_code);
    // The service takes ratios from 1 to 4 with two decimals; anything else would refuse the upload.
    if (m_scale > 1.0 && m_scale <= 4.0)
        Multipart::appendField(body, "scale", QString::number(m_scale, 'f', 2));
    Multipart::appendPngPart(body, "upload-file", uuid(), m_pngs.at(0));
    if (m_pngs.size() > 1) {
        Multipart::appendSeparator(body);
        // The second file gets a fresh name each time; only its length must stay stable.
        Multipart::appendPngPart(body, "upload-file2", newUuid(), m_pngs.at(1));
    }
    Multipart::appendClosing(body);
    return body;
}

CPixmapUploadRequest::CPixmapUploadRequest(const QPixmap& pixmap, const QString& code)
    : CPictureUploadRequest(QVector<QPixmap>{pixmap}, code)
{
}

CPixmapUploadRequest::CPixmapUploadRequest(const QByteArray& png, const QString& code)
    : CPictureUploadRequest(QVector<QByteArray>{png}, code)
{
}

int CPixmapUploadRequest::kind() const
{
    return BL::Api::PixmapUploadKind;
}

CUploadComparisonShotRequest::CUploadComparisonShotRequest(const QPixmap& firstPixmap,
                                                           const QPixmap& secondPixmap, const QString& code)
    : CPictureUploadRequest(QVector<QPixmap>{firstPixmap, secondPixmap}, code)
{
}

CUploadComparisonShotRequest::CUploadComparisonShotRequest(const QByteArray& firstPng,
                                                           const QByteArray& secondPng, const QString& code)
    : CPictureUploadRequest(QVector<QByteArray>{firstPng, secondPng}, code)
{
}

int CUploadComparisonShotRequest::kind() const
{
    return BL::Api::ComparisonUploadKind;
}
