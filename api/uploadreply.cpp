#include "api/uploadreply.h"

#include "api/httprequest.h"
#include "api/logging.h"
#include "api/simplejson.h"

#include <QCoreApplication>
#include <QNetworkReply>

namespace BL::Api {

SUploadOutcome readUploadReply(QNetworkReply* reply)
{
    SUploadOutcome outcome;
    const CHttpRequest::SReplyError error = CHttpRequest::replyError(reply);
    if (error.failed()) {
        outcome.result = SUploadOutcome::NetworkError;
        outcome.errorCode = error.code;
        outcome.errorString = error.text;
        return outcome;
    }
    const CSimpleJson json(reply->readAll());
    const QString status = json.value(QStringLiteral("status"));
    if (status == QLatin1String("ok")) {
        outcome.result = SUploadOutcome::Uploaded;
        outcome.link = json.value(QStringLiteral("url"));
    } else if (status == QLatin1String("error")) {
        outcome.result = SUploadOutcome::Refused;
        outcome.reason = json.value(QStringLiteral("reason"));
    } else {
        // Neither success nor refusal: still a failure the user must hear about,
        // or the tray would stay busy for ever.
        outcome.result = SUploadOutcome::Unexpected;
        outcome.unexpectedStatus = status;
        qCWarning(lcApi) << "Upload reply with unexpected status" << status;
    }
    return outcome;
}

QString uploadFailureText(const SUploadOutcome& outcome)
{
    switch (outcome.result) {
    case SUploadOutcome::NetworkError:
        return QCoreApplication::translate("CHttpRequest", "Uploading failed.\nNetwork error #%1: %2 ")
            .arg(QString::number(outcome.errorCode), outcome.errorString);
    case SUploadOutcome::Refused:
        return QCoreApplication::translate("CHttpRequest", "Uploading failed.\n%1").arg(outcome.reason);
    case SUploadOutcome::Uploaded:
    case SUploadOutcome::Unexpected:
        break;
    }
    return QCoreApplication::translate(
        "CHttpRequest", "Uploading failed.\nThe server sent a reply that could not be understood.");
}

} // namespace BL::Api
