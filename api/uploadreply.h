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

} // namespace BL::Api
