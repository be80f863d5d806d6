#include "api/hashloginrequest.h"

#include "api/simplejson.h"

using BL::Api::EHeader;

CHashLoginRequest::CHashLoginRequest(const QString& hash)
    : CHttpRequest({EHeader::Host, EHeader::Accept, EHeader::ContentLength, EHeader::FormContentType}),
      m_hash(hash)
{
}

int CHashLoginRequest::kind() const
{
    return BL::Api::HashLoginKind;
}

QString CHashLoginRequest::path() const
{
    return QStringLiteral("/api/check_hash");
}

QByteArray CHashLoginRequest::body() const
{
    // A hash from CUser is hex digits, which the encoding leaves alone; a
    // hand-edited one from the settings cannot add fields to the form.
    return "hash=" + BL::Api::formEncode(m_hash) + "&uuid=" + BL::Api::formEncode(uuid());
}

void CHashLoginRequest::onNetworkError(int code, const QString& text)
{
    m_networkError = code;
    emit signInFailed(tr("Login failed.\nNetwork error #%1: %2").arg(QString::number(code), text));
}

void CHashLoginRequest::onJson(const CSimpleJson& json)
{
    if (json.value(QStringLiteral("exists")) == QLatin1String("true"))
        emit signInOk();
    else
        emit signInFailed(tr("Login failed: username or password doesn't match.\nPlease try again."));
}
