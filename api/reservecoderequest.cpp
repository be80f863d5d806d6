#include "api/reservecoderequest.h"

#include "api/simplejson.h"

#include <QNetworkReply>

CReserveCodeRequest::CReserveCodeRequest() = default;

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
    return QByteArray();
}

QNetworkRequest CReserveCodeRequest::networkRequest() const
{
    QNetworkRequest request = newNetworkRequest();
    setHostHeader(request);
    setAcceptHeader(request);
    setContentLengthHeader(request);
    setContentTypeHeader(request, BL::Api::formContentType);
    return request;
}

void CReserveCodeRequest::handleReply(QNetworkReply* reply)
{
    const SReplyError error = replyError(reply);
    if (error.failed()) {
        emit errorOccured(
            tr("Reserving code failed.\nNetwork error #%1: %2").arg(QString::number(error.code), error.text));
        return;
    }
    const CSimpleJson json(reply->readAll());
    if (json.value(QStringLiteral("status")) == QLatin1String("ok"))
        emit codeReserved(json.value(QStringLiteral("code")), json.value(QStringLiteral("url")));
    else
        emit errorOccured(tr("Error occured while requesting a reserve code"));
}
