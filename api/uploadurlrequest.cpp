#include "api/uploadurlrequest.h"

#include "api/user.h"

using BL::Api::EHeader;

namespace {

// The service resolves host names itself and knows no Unicode ones: the host goes out in its
// ASCII (Punycode) form; the rest stays as typed.
QString serviceForm(const QUrl& url)
{
    if (url.host().isEmpty() || !url.isValid())
        return url.toString();
    QString host = QString::fromLatin1(QUrl::toAce(url.host()));
    if (host.isEmpty())
        return url.toString();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString text = url.scheme() + QStringLiteral("://");
    if (!url.userInfo().isEmpty())
        text += url.userInfo() + QLatin1Char('@');
    text += host;
    if (url.port() != -1)
        text += QLatin1Char(':') + QString::number(url.port());
    return text + url.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority);
}

} // namespace

CUploadUrlRequest::CUploadUrlRequest(const QUrl& url, const QString& code)
    : CUploadRequest({EHeader::Host, EHeader::FormContentType, EHeader::ContentLength}), m_url(url),
      m_code(code)
{
}

int CUploadUrlRequest::kind() const
{
    return BL::Api::UrlUploadKind;
}

QString CUploadUrlRequest::path() const
{
    return QStringLiteral("/api/upload");
}

QByteArray CUploadUrlRequest::body() const
{
    // Every value is form-encoded: a URL holding "&code=" must not forge a field,
    // and "+" or "%" in it must reach the service unchanged.
    QByteArray body = "url=" + BL::Api::formEncode(serviceForm(m_url));
    const CUser* user = CUser::instance();
    if (user->isSignedIn())
        body += "&hash=" + BL::Api::formEncode(user->userHash());
    if (!m_code.isEmpty())
        body += "&code=" + BL::Api::formEncode(m_code);
    return body;
}
