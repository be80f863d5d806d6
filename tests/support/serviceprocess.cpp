#include "serviceprocess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

namespace BL::Test {

namespace {

// Waits for the reply of a request already sent; aborts it after `timeoutMs`.
SHttpResult finish(QNetworkReply* reply, int timeoutMs)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    SHttpResult result;
    if (reply->isFinished()) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        result.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        result.setCookie = reply->rawHeader("Set-Cookie");
    } else {
        reply->abort();
    }
    delete reply;
    return result;
}

QNetworkRequest requestWithCookie(const QString& url, const QByteArray& cookie)
{
    QNetworkRequest request{QUrl(url)};
    // Redirects are not followed: a sign-in answers 303 with the cookie to keep.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!cookie.isEmpty())
        request.setRawHeader("Cookie", cookie);
    return request;
}

} // namespace

SHttpResult httpGet(const QString& url, int timeoutMs)
{
    return httpGet(url, QByteArray(), timeoutMs);
}

SHttpResult httpGet(const QString& url, const QByteArray& cookie, int timeoutMs)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    return finish(manager.get(requestWithCookie(url, cookie)), timeoutMs);
}

SHttpResult httpPostForm(const QString& url, const QByteArray& form, int timeoutMs)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request = requestWithCookie(url, QByteArray());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    return finish(manager.post(request, form), timeoutMs);
}

SHttpResult httpSubmitForm(const QString& pageUrl, const QByteArray& fields, const QByteArray& cookie,
                           int timeoutMs)
{
    const SHttpResult page = httpGet(pageUrl, cookie, timeoutMs);
    const QString html = QString::fromUtf8(page.body);
    const QString action =
        QRegularExpression(QStringLiteral("<form[^>]* action=\"([^\"]*)\"")).match(html).captured(1);
    const QString token =
        QRegularExpression(QStringLiteral("name=\"csrf\" value=\"([^\"]*)\"")).match(html).captured(1);
    QByteArray cookies = cookie;
    const QRegularExpressionMatch formCookie = QRegularExpression(QStringLiteral("(bl_form=[A-Za-z0-9]+)"))
                                                   .match(QString::fromLatin1(page.setCookie));
    if (formCookie.hasMatch())
        cookies += (cookies.isEmpty() ? "" : "; ") + formCookie.captured(1).toLatin1();

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request = requestWithCookie(QUrl(pageUrl).resolved(QUrl(action)).toString(), cookies);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    return finish(manager.post(request, fields + (fields.isEmpty() ? "" : "&") + "csrf=" + token.toLatin1()),
                  timeoutMs);
}

CServiceProcess::CServiceProcess()
{
    QObject::connect(
        &m_process, &QProcess::readyReadStandardError,
        [this] { m_stderr += m_process.readAllStandardError(); });
}

CServiceProcess::~CServiceProcess()
{
    stop();
}

QString CServiceProcess::binaryPath()
{
    return QStringLiteral(BL_BINARY_DIR "/server/brightloom-server");
}

bool CServiceProcess::start(const QString& dataDir, const QStringList& extraArgs)
{
    m_stderr.clear();
    m_port = 0;
    m_process.start(binaryPath(), QStringList{"--listen", "127.0.0.1:0", "--data", dataDir} + extraArgs);
    if (!m_process.waitForStarted(5000))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        const QRegularExpressionMatch m = listening.match(log());
        if (m.hasMatch()) {
            m_port = m.captured(1).toInt();
            return true;
        }
        QTest::qWait(20);
    }
    return false;
}

void CServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString CServiceProcess::log()
{
    m_stderr += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_stderr);
}

} // namespace BL::Test
