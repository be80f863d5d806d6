#include "api/hashloginrequest.h"

#include "api/simplejson.h"

#include <QNetworkReply>

CHashLoginRequest::CHashLoginRequest(const QString& hash) : m_hash(hash) {}

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

QNetworkRequest CHashLoginRequest::networkRequest() const
{
    QNetworkRequest request = newNetworkRequest();
    setHostHeader(request);
    setAcceptHeader(request);
    setContentLengthHeader(request);
    setContentTypeHeader(request, BL::Api::formContentType);
    return request;
}

void CHashLoginRequest::handleReply(QNetworkReply* reply)
{
    const SReplyError error = replyError(reply);
    if (error.failed()) {
        emit signInFailed(
            tr("Login failed.\nNetwork error #%1: %2").arg(QString::number(error.code), error.text));
        return;
    }
    const CSimpleJson json(reply->readAll());
    if (json.value(QStringLiteral("exists")) == QLatin1String("true"))
        emit signInOk();
    else
        emit signInFailed(tr("Login failed: username or password doesn't match.\nPlease try again."));
}
