#include "api/httprequest.h"

#include "api/logging.h"
#include "api/simplejson.h"

#include <QNetworkReply>
#include <QUrl>
#include <QUuid>

#ifndef BL_SERVICE_HOST_DEFAULT
#define BL_SERVICE_HOST_DEFAULT "127.0.0.1:8480"
#endif

namespace BL::Api {

#define BL_MULTIPART_BOUNDARY "---------------------------dev-brightloom"

const char* const formContentType = "application/x-www-form-urlencoded";
const char* const multipartBoundary = BL_MULTIPART_BOUNDARY;
const char* const multipartContentType = "multipart/form-data; boundary=" BL_MULTIPART_BOUNDARY;

namespace {

// A host name or address with an optional port; anything that could smuggle a
// path, credentials or header text into the URL or the "Host" header is refused.
bool isUsableHost(const QString& host)
{
    // Checked by hand: a pattern compiled at start, with its JIT code, would stay in the resident
    // program for the sake of one short string.
    auto isHostChar = [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
               (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
               c == QLatin1Char('_') || c == QLatin1Char('-');
    };
    auto isAddressChar = [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
               (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('F')) || c == QLatin1Char(':') ||
               c == QLatin1Char('.');
    };
    int i = 0;
    const int n = host.size();
    if (n > 0 && host.at(0) == QLatin1Char('[')) {
        // A bracketed IPv6 address.
        i = 1;
        while (i < n && isAddressChar(host.at(i)))
            ++i;
        if (i == 1 || i >= n || host.at(i) != QLatin1Char(']'))
            return false;
        ++i;
    } else {
        while (i < n && isHostChar(host.at(i)))
            ++i;
        if (i == 0)
            return false;
    }
    if (i == n)
        return true;
    // An optional port of one to five digits.
    if (host.at(i) != QLatin1Char(':'))
        return false;
    const int digits = n - i - 1;
    if (digits < 1 || digits > 5)
        return false;
    for (++i; i < n; ++i)
        if (host.at(i) < QLatin1Char('0') || host.at(i) > QLatin1Char('9'))
            return false;
    return true;
}

} // namespace

QString serviceHost()
{
    const QString fromEnvironment = qEnvironmentVariable("BL_SERVICE_HOST").trimmed();
    if (!fromEnvironment.isEmpty()) {
        if (isUsableHost(fromEnvironment))
            return fromEnvironment;
        qCWarning(lcApi) << "Ignoring unusable BL_SERVICE_HOST" << fromEnvironment;
    }
    return QStringLiteral(BL_SERVICE_HOST_DEFAULT);
}

QString serviceBaseUrl()
{
    return QStringLiteral("http://") + serviceHost();
}

QByteArray formEncode(const QString& value)
{
    return QUrl::toPercentEncoding(value);
}

} // namespace BL::Api

CHttpRequest::CHttpRequest(const QVector<BL::Api::EHeader>& headers) : m_uuid(newUuid()), m_headers(headers)
{
}

CHttpRequest::~CHttpRequest() = default;

QString CHttpRequest::uuid() const
{
    return m_uuid;
}

int CHttpRequest::kind() const
{
    return BL::Api::BaseRequestKind;
}

QNetworkRequest CHttpRequest::networkRequest(const QByteArray& body) const
{
    using BL::Api::EHeader;
    QNetworkRequest request(QUrl(BL::Api::serviceBaseUrl() + path(), QUrl::TolerantMode));
    if (m_transferTimeoutMs > 0)
        request.setTransferTimeout(m_transferTimeoutMs);
    for (const EHeader header : m_headers) {
        switch (header) {
        case EHeader::Host:
            request.setRawHeader("Host", BL::Api::serviceHost().toLatin1());
            break;
        case EHeader::Accept:
            request.setRawHeader("Accept", "*/*");
            break;
        case EHeader::ContentLength:
            request.setRawHeader("Content-Length", QByteArray::number(body.size()));
            break;
        case EHeader::FormContentType:
            request.setRawHeader("Content-Type", BL::Api::formContentType);
            break;
        case EHeader::MultipartContentType:
            request.setRawHeader("Content-Type", BL::Api::multipartContentType);
            break;
        }
    }
    return request;
}

QNetworkRequest CHttpRequest::networkRequest() const
{
    return networkRequest(body());
}

void CHttpRequest::handleReply(QNetworkReply* reply)
{
    const SReplyError error = replyError(reply);
    if (error.failed()) {
        onNetworkError(error.code, error.text);
        return;
    }
    onJson(CSimpleJson(reply->readAll()));
}

QString CHttpRequest::newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

CHttpRequest::SReplyError CHttpRequest::replyError(QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return {reply->error(), reply->errorString()};
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    // A compressed body is decoded by Qt, so its length says nothing about what arrived.
    if (declared.isValid() && !reply->hasRawHeader("Content-Encoding") &&
        reply->bytesAvailable() < declared.toLongLong()) {
        qCWarning(lcApi) << "Reply cut short:" << reply->bytesAvailable() << "of" << declared.toLongLong()
                         << "bytes";
        return {QNetworkReply::RemoteHostClosedError, tr("Connection closed before the whole reply arrived")};
    }
    return {};
}
