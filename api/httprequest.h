#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

class QNetworkReply;

namespace BL::Api {

// Request kind numbers; the shell also tags a code reservation with the kind of
// the upload that is to follow it, so the numbers are part of the contract.
enum ERequestKind : int {
    BaseRequestKind = 0,
    PixmapUploadKind = 1,
    HashLoginKind = 2,
    UrlUploadKind = 3,
    ComparisonUploadKind = 4,
    ReserveCodeKind = 6,
};

// Host (and optional port) of the web service: the BL_SERVICE_HOST environment
// variable when it is set to a usable value, otherwise the value built in.
QString serviceHost();
// "http://" + serviceHost(), without a trailing slash.
QString serviceBaseUrl();

extern const char* const formContentType;
extern const char* const multipartBoundary;
extern const char* const multipartContentType;

// Encodes one value of an application/x-www-form-urlencoded body (UTF-8, every
// byte outside the unreserved set percent-encoded), so that "&", "=", "+" and
// "%" inside a value can neither forge fields nor be mangled.
QByteArray formEncode(const QString& value);

} // namespace BL::Api

// Base of every request to the web service. A request knows its path, builds its
// body and headers, and turns its finished reply into its own signals.
// Created with new by the caller and handed to CServerManager::sendRequest,
// which owns and deletes it once handleReply has returned.
class CHttpRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHttpRequest)

public:
    CHttpRequest();
    ~CHttpRequest() override;

    // Random UUID (36 lowercase characters, no braces), fixed for the request's life.
    QString uuid() const;

    virtual int kind() const;
    virtual QString path() const = 0;
    // May be called more than once for one request; the bytes are the same length each time.
    virtual QByteArray body() const = 0;
    virtual QNetworkRequest networkRequest() const = 0;
    virtual void handleReply(QNetworkReply* reply) = 0;

    // The reply's network error, or none. A reply that declared its length and
    // ended short counts as RemoteHostClosedError: the HTTP layer may report
    // such a cut-off reply as complete when the peer closed first, and half a
    // reply must never read as success.
    struct SReplyError
    {
        int code = 0;
        QString text;
        bool failed() const { return code != 0; }
    };
    static SReplyError replyError(QNetworkReply* reply);

protected:
    // A request for baseUrl + path() with no headers set yet.
    QNetworkRequest newNetworkRequest() const;

    static void setHostHeader(QNetworkRequest& request);
    static void setAcceptHeader(QNetworkRequest& request);
    void setContentLengthHeader(QNetworkRequest& request) const;
    static void setContentTypeHeader(QNetworkRequest& request, const char* contentType);

    static QString newUuid();

private:
    const QString m_uuid;
};
