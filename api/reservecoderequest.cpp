#include "api/reservecoderequest.h"

#include "api/simplejson.h"

using BL::Api::EHeader;

CReserveCodeRequest::CReserveCodeRequest()
    : CHttpRequest({EHeader::Host, EHeader::Accept, EHeader::ContentLength, EHeader::FormContentType})
{
}

int CReserveCodeRequest::kind() const
{
    return BL::Api::ReserveCodeKind;
}

QString CReserveCodeRequest::path() const
{
    return QStringLiteral("/api/reserve_code");
}

QByteArray CReserveCodeRequest::body() const
{
    return m_expirySeconds < 0 ? QByteArray() : "expires=" + QByteArray::number(m_expirySeconds);
}

void CReserveCodeRequest::onNetworkError(int code, const QString& text)
{
    emit errorOccured(tr("Reserving code failed.\nNetwork error #%1: %2").arg(QString::number(code), text));
}

void CReserveCodeRequest::onJson(const CSimpleJson& json)
{
    if (json.value(QStringLiteral("status")) == QLatin1String("ok"))
        emit codeReserved(json.value(QStringLiteral("code")), json.value(QStringLiteral("url")));
    else
        emit errorOccured(tr("Error occured while requesting a reserve code"));
}
