#include "api/pixmapuploadrequest.h"

#include "api/multipartbody.h"
#include "api/uploadreply.h"
#include "api/user.h"

#include <QNetworkReply>

namespace Multipart = BL::Api::Multipart;

namespace {

const QString kUploadPath = QStringLiteral("/api/upload.php");

// The optional fields shared by both picture uploads, after the opening boundary.
void appendUserAndCode(QByteArray& body, const QString& code)
{
    const CUser* user = CUser::instance();
    if (user->isSignedIn())
        Multipart::appendField(body, "hash", user->userHash());
    if (!code.isEmpty())
        Multipart::appendField(body, "code", code);
}

} // namespace

CPixmapUploadRequest::CPixmapUploadRequest(const QPixmap& pixmap, const QString& code)
    : m_pixmap(pixmap), m_code(code)
{
}

CPixmapUploadRequest::CPixmapUploadRequest(const QByteArray& png, const QString& code)
    : m_code(code), m_png(png), m_pngReady(true)
{
}

int CPixmapUploadRequest::kind() const
{
    return BL::Api::PixmapUploadKind;
}

QString CPixmapUploadRequest::path() const
{
    return kUploadPath;
}

QByteArray CPixmapUploadRequest::body() const
{
    if (!m_pngReady) {
        m_png = BL::Api::encodePng(m_pixmap);
        m_pngReady = true;
    }
    QByteArray body;
    Multipart::appendOpening(body);
    appendUserAndCode(body, m_code);
    Multipart::appendPngPart(body, "upload-file", uuid(), m_png);
    Multipart::appendClosing(body);
    return body;
}

QNetworkRequest CPixmapUploadRequest::networkRequest() const
{
    QNetworkRequest request = newNetworkRequest();
    setHostHeader(request);
    setContentTypeHeader(request, BL::Api::multipartContentType);
    setContentLengthHeader(request);
    return request;
}

void CPixmapUploadRequest::handleReply(QNetworkReply* reply)
{
    BL::Api::reportUploadReply(this, reply, &CPixmapUploadRequest::uploadedOk,
                               &CPixmapUploadRequest::uploadingFailed);
}

CUploadComparisonShotRequest::CUploadComparisonShotRequest(const QPixmap& firstPixmap,
                                                           const QPixmap& secondPixmap, const QString& code)
    : m_firstPixmap(firstPixmap), m_secondPixmap(secondPixmap), m_code(code)
{
}

CUploadComparisonShotRequest::CUploadComparisonShotRequest(const QByteArray& firstPng,
                                                           const QByteArray& secondPng, const QString& code)
    : m_code(code), m_firstPng(firstPng), m_secondPng(secondPng), m_pngReady(true)
{
}

int CUploadComparisonShotRequest::kind() const
{
    return BL::Api::ComparisonUploadKind;
}

QString CUploadComparisonShotRequest::path() const
{
    return kUploadPath;
}

QByteArray CUploadComparisonShotRequest::body() const
{
    if (!m_pngReady) {
        m_firstPng = BL::Api::encodePng(m_firstPixmap);
        m_secondPng = BL::Api::encodePng(m_secondPixmap);
        m_pngReady = true;
    }
    QByteArray body;
    Multipart::appendOpening(body);
    appendUserAndCode(body, m_code);
    Multipart::appendPngPart(body, "upload-file", uuid(), m_firstPng);
    Multipart::appendSeparator(body);
    // The second file gets a fresh name each time; only its length must stay stable.
    Multipart::appendPngPart(body, "upload-file2", newUuid(), m_secondPng);
    Multipart::appendClosing(body);
    return body;
}

QNetworkRequest CUploadComparisonShotRequest::networkRequest() const
{
    QNetworkRequest request = newNetworkRequest();
    setHostHeader(request);
    setContentTypeHeader(request, BL::Api::multipartContentType);
    return request;
}

void CUploadComparisonShotRequest::handleReply(QNetworkReply* reply)
{
    BL::Api::reportUploadReply(this, reply, &CUploadComparisonShotRequest::uploadedOk,
                               &CUploadComparisonShotRequest::uploadingFailed);
}
