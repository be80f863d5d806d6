#pragma once

#include <QAuthenticator>
#include <QList>
#include <QMap>
#include <QNetworkProxy>
#include <QObject>
#include <QSslError>
#include <QString>

class CHttpRequest;

class QNetworkAccessManager;

class QNetworkReply;

// The one gateway to the web service: owns the process's network access
// manager, posts requests and keeps each one until its reply has finished,
// hands the reply to it and then deletes both.
class CServerManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CServerManager)

public:
    // Created on first use and kept until the process ends.
    static CServerManager* instance();

    // Takes ownership of the request and posts it; every outcome arrives later
    // through the request's own signals.
    void sendRequest(CHttpRequest* request);

    QString host() const;
    QString baseUrl() const;

    // Replies are small JSON objects; a reply growing past this is cut off and
    // fails, so a misbehaving server cannot make the client hoard memory.
    static constexpr qint64 maxReplyBytes = 1024 * 1024;

private slots:
    void onAuthenticationRequired(QNetworkReply* reply, QAuthenticator* auth);
    void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    void onProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* auth);
    void onFinished(QNetworkReply* reply);

private:
    CServerManager();
    ~CServerManager() override;

    QNetworkAccessManager* m_network = nullptr;
    QMap<QNetworkReply*, CHttpRequest*> m_pending;
};
