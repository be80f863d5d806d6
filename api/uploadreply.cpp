#include "api/uploadreply.h"

#include "api/apilog.h"
#include "api/httprequest.h"
#include "api/simplejson.h"

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

} // namespace BL::Api
