#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QVector>

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

// The raw headers a request may set.
enum class EHeader {
    Host,                 // serviceHost()
    Accept,               // "*/*"
    ContentLength,        // the size of the body that is posted
    FormContentType,      // formContentType
    MultipartContentType, // multipartContentType
};

} // namespace BL::Api

class CSimpleJson;

// Base of every request to the web service. A request knows its path, builds its
// body, lists its headers and turns the finished reply into its own signals.
// Created with new by the caller and handed to CServerManager::sendRequest,
// which owns and deletes it once handleReply has returned.
class CHttpRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHttpRequest)

public:
    ~CHttpRequest() override;

    // Random UUID (36 lowercase characters, no braces), fixed for the request's life.
    QString uuid() const;

    enum class EMethod { Post, Get };

    virtual int kind() const;
    // Every exchange with the service posts, except the fetch of a file it serves.
    virtual EMethod method() const { return EMethod::Post; }
    virtual QString path() const = 0;
    // May be called more than once for one request; the bytes are the same length each time.
    virtual QByteArray body() const = 0;

    // URL and headers for posting `body`, which must be the bytes that go out:
    // "Content-Length" is taken from it.
    QNetworkRequest networkRequest(const QByteArray& body) const;
    // The same for a body built here, for looking at a request without sending it.
    QNetworkRequest networkRequest() const;

    // Turns the finished reply into the request's signals: a network error goes
    // to onNetworkError and nothing of the body is read; otherwise the body is
    // parsed and handed to onJson. Virtual for a request that reads more than JSON.
    virtual void handleReply(QNetworkReply* reply);

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

    // Aborts the exchange when nothing moves for `ms` milliseconds (0, the default: no limit);
    // the request then reports a network error like any other.
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

protected:
    // `headers`: the raw headers of this kind of request, in the order they are set.
    explicit CHttpRequest(const QVector<BL::Api::EHeader>& headers);

    // `code` is the QNetworkReply::NetworkError number, `text` the reply's error string.
    virtual void onNetworkError(int code, const QString& text) = 0;
    virtual void onJson(const CSimpleJson& json) = 0;

    static QString newUuid();

private:
    const QString m_uuid;
    const QVector<BL::Api::EHeader> m_headers;
    int m_transferTimeoutMs = 0;
};
