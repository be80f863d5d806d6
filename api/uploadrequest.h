#pragma once

#include "api/httprequest.h"

// Base of the three uploads (one picture, a comparison pair, a URL): they read
// their replies alike and report through the same two signals.
class CUploadRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUploadRequest)

signals:
    void uploadedOk(const QString& link);
    void uploadingFailed(const QString& errorDesc);

protected:
    using CHttpRequest::CHttpRequest;

    void onNetworkError(int code, const QString& text) override;
    // "status" "ok" gives the link in "url", "error" the refusal in "reason".
    // Anything else is a failure too: the tray would otherwise stay busy for ever.
    void onJson(const CSimpleJson& json) override;
};
