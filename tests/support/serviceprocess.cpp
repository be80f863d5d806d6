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

SHttpResult httpGet(const QString& url, int timeoutMs)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    SHttpResult result;
    if (reply->isFinished()) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        result.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    } else {
        reply->abort();
    }
    delete reply;
    return result;
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
