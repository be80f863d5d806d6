#include "api/deleterequest.h"

#include "api/logging.h"
#include "api/simplejson.h"

#include <QNetworkReply>

using BL::Api::EHeader;

CDeleteRequest::CDeleteRequest(const QString& secret)
    : CHttpRequest({EHeader::Host, EHeader::Accept, EHeader::ContentLength, EHeader::FormContentType}),
      m_secret(secret)
{
}

QString CDeleteRequest::path() const
{
    return QStringLiteral("/api/delete");
}

QByteArray CDeleteRequest::body() const
{
    return "code=" + BL::Api::formEncode(m_secret);
}

void CDeleteRequest::onNetworkError(int code, const QString& text)
{
    emit errorOccured(tr("Deleting failed.\nNetwork error #%1: %2").arg(QString::number(code), text));
}

void CDeleteRequest::onJson(const CSimpleJson& json)
{
    const QString status = json.value(QStringLiteral("status"));
    if (status == QLatin1String("ok")) {
        emit deleted();
    } else if (status == QLatin1String("error")) {
        emit refused(json.value(QStringLiteral("reason")));
    } else {
        qCWarning(lcApi) << "Delete reply with unexpected status" << status;
        emit errorOccured(tr("Deleting failed.\nThe server sent a reply that could not be understood."));
    }
}

CThumbnailRequest::CThumbnailRequest(const QString& code)
    : CHttpRequest({EHeader::Host, EHeader::Accept}), m_code(code)
{
}

QString CThumbnailRequest::path() const
{
    return QStringLiteral("/%1-thumb.png").arg(m_code);
}

void CThumbnailRequest::handleReply(QNetworkReply* reply)
{
    static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
    const QByteArray body = replyError(reply).failed() ? QByteArray() : reply->readAll();
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
        body.startsWith(pngSignature))
        emit fetched(body);
    else
        emit failed();
}
