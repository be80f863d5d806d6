#pragma once

#include <QString>

class QNetworkReply;

namespace BL::Api {

// What an upload reply (picture or URL upload) came to; each request turns it
// into its own signals and texts.
struct SUploadOutcome
{
    enum EResult { NetworkError, Uploaded, Refused, Unexpected };

    EResult result = Unexpected;
    QString link;             // Uploaded: the "url" value
    QString reason;           // Refused: the "reason" value
    int errorCode = 0;        // NetworkError: the QNetworkReply::NetworkError number
    QString errorString;      // NetworkError: the reply's error text
    QString unexpectedStatus; // Unexpected: the "status" value as read
};

SUploadOutcome readUploadReply(QNetworkReply* reply);

// The user-facing text of a failed outcome (anything but Uploaded).
QString uploadFailureText(const SUploadOutcome& outcome);

// Reads the reply and emits `ok(link)` or `failed(text)` on `request`: the one
// way every upload request reports.
template<typename Request, typename Ok, typename Failed>
void reportUploadReply(Request* request, QNetworkReply* reply, Ok ok, Failed failed)
{
    const SUploadOutcome outcome = readUploadReply(reply);
    if (outcome.result == SUploadOutcome::Uploaded)
        emit(request->*ok)(outcome.link);
    else
        emit(request->*failed)(uploadFailureText(outcome));
}

} // namespace BL::Api
