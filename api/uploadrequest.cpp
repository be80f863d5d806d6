#include "api/uploadrequest.h"

#include "api/logging.h"
#include "api/simplejson.h"

#include <QCoreApplication>

// The upload texts are translated under "CHttpRequest", where they have always been filed.

void CUploadRequest::onNetworkError(int code, const QString& text)
{
    emit uploadingFailed(
        QCoreApplication::translate("CHttpRequest", "Uploading failed.\nNetwork error #%1: %2 ")
            .arg(QString::number(code), text));
}

void CUploadRequest::onJson(const CSimpleJson& json)
{
    const QString status = json.value(QStringLiteral("status"));
    if (status == QLatin1String("ok")) {
        emit uploadedOk(json.value(QStringLiteral("url")));
    } else if (status == QLatin1String("error")) {
        emit uploadingFailed(QCoreApplication::translate("CHttpRequest", "Uploading failed.\n%1")
                                 .arg(json.value(QStringLiteral("reason"))));
    } else {
        qCWarning(lcApi) << "Upload reply with unexpected status" << status;
        emit uploadingFailed(QCoreApplication::translate(
            "CHttpRequest", "Uploading failed.\nThe server sent a reply that could not be understood."));
    }
}
