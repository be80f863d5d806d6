#include "api/uploadurlrequest.h"

#include "api/user.h"

using BL::Api::EHeader;

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
    QByteArray body = "url=" + BL::Api::formEncode(m_url.toString());
    const CUser* user = CUser::instance();
    if (user->isSignedIn())
        body += "&hash=" + BL::Api::formEncode(user->userHash());
    if (!m_code.isEmpty())
        body += "&code=" + BL::Api::formEncode(m_code);
    return body;
}
