#include "api/servermanager.h"

#include "api/httprequest.h"
#include "api/logging.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QPointer>
#include <QSslConfiguration>

CServerManager* CServerManager::instance()
{
    // Deliberately never destroyed: requests still in flight at exit are dropped
    // without their signals, and no teardown runs after the application object.
    static CServerManager* const manager = new CServerManager;
    return manager;
}

CServerManager::CServerManager()
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_network = new QNetworkAccessManager(this);
    connect(m_network, &QNetworkAccessManager::authenticationRequired, this,
            &CServerManager::onAuthenticationRequired);
#ifndef QT_NO_SSL
    connect(m_network, &QNetworkAccessManager::sslErrors, this, &CServerManager::onSslErrors);
#endif
    connect(m_network, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &CServerManager::onProxyAuthenticationRequired);
    connect(m_network, &QNetworkAccessManager::finished, this, &CServerManager::onFinished);
}

CServerManager::~CServerManager()
{
    qDeleteAll(m_pending);
}

void CServerManager::sendRequest(CHttpRequest* request)
{
    if (!request) {
        qCWarning(lcApi) << "sendRequest called without a request";
        return;
    }
    // Built once: "Content-Length" must describe the very bytes that are posted.
    const QByteArray body = request->body();
    QNetworkRequest networkRequest = request->networkRequest(body);
#ifndef QT_NO_SSL
    // Asking for the configuration loads and starts OpenSSL (4 MiB, on the first shot's path);
    // plain http never uses it.
    if (networkRequest.url().scheme() == QLatin1String("https"))
        networkRequest.setSslConfiguration(QSslConfiguration::defaultConfiguration());
#endif
    QNetworkReply* reply = request->method() == CHttpRequest::EMethod::Get
                               ? m_network->get(networkRequest)
                               : m_network->post(networkRequest, body);
    m_pending.insert(reply, request);
    qCDebug(lcApi) << "Posted request of kind" << request->kind() << "to" << networkRequest.url().toString()
                   << "with" << body.size() << "body bytes";

    // Both checks run before the reply can finish: a declared length as soon as
    // the headers are in, the buffered bytes with every chunk (readyRead is not
    // rate-limited the way downloadProgress is).
    connect(
        reply, &QNetworkReply::metaDataChanged, reply,
        [reply] {
            const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            if (declared > maxReplyBytes) {
                qCWarning(lcApi) << "Reply announces" << declared << "bytes; aborting it";
                reply->abort();
            }
        });
    connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > maxReplyBytes) {
            qCWarning(lcApi) << "Reply larger than" << maxReplyBytes << "bytes; aborting it";
            reply->abort();
        }
    });
}

QString CServerManager::host() const
{
    return BL::Api::serviceHost();
}

QString CServerManager::baseUrl() const
{
    return BL::Api::serviceBaseUrl();
}

void CServerManager::onAuthenticationRequired(QNetworkReply* reply, QAuthenticator* auth)
{
    Q_UNUSED(reply)
    Q_UNUSED(auth)
    // No credentials are supplied: the reply then fails with the authentication error.
    qDebug("CServerManager::onAuthenticationRequired(QNetworkReply *reply, QAuthenticator *auth)");
}

void CServerManager::onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    Q_UNUSED(reply)
    qDebug("CServerManager::onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors)");
    // Certificate errors are not ignored: the service speaks plain HTTP, so TLS only
    // appears if something redirects us, and then an unverified peer must not get the
    // user's hash. The reply fails and the request reports the network error.
    for (const QSslError& error : errors)
        qCWarning(lcApi) << "TLS error:" << error.errorString();
}

void CServerManager::onProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* auth)
{
    Q_UNUSED(proxy)
    Q_UNUSED(auth)
    qDebug("CServerManager::onProxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *auth)");
}

void CServerManager::onFinished(QNetworkReply* reply)
{
    reply->deleteLater();
    // take() before handling: a slot that spins a nested event loop must not see
    // this reply again.
    QPointer<CHttpRequest> request = m_pending.take(reply);
    if (!request) {
        qCDebug(lcApi) << "Finished reply without a pending request";
        return;
    }
    request->handleReply(reply);
    // A careless receiver may have deleted the request itself; QPointer keeps us
    // from deleting it twice.
    delete request.data();
}
