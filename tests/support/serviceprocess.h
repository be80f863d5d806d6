#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The real reference web service as a child process on an ephemeral loopback port.
namespace BL::Test {

struct SHttpResult
{
    int status = 0; // 0 when no HTTP answer came
    QByteArray body;
    QByteArray contentType;
    QByteArray setCookie; // the "Set-Cookie" header, if any
};

// Blocking requests for tests (they spin an event loop); only loopback URLs are used.
// Redirects are not followed.
SHttpResult httpGet(const QString& url, int timeoutMs = 10000);
SHttpResult httpGet(const QString& url, const QByteArray& cookie, int timeoutMs = 10000);
SHttpResult httpPostForm(const QString& url, const QByteArray& form, int timeoutMs = 10000);
// Loads the page at `pageUrl` and posts its web form with the url-encoded `fields` and the
// form's token, as a browser does; `cookie` goes with both requests.
SHttpResult httpSubmitForm(const QString& pageUrl, const QByteArray& fields, const QByteArray& cookie = {},
                           int timeoutMs = 10000);

class CServiceProcess
{
public:
    CServiceProcess();
    ~CServiceProcess();

    static QString binaryPath();

    // Starts on 127.0.0.1 with a free port and waits until it listens.
    bool start(const QString& dataDir, const QStringList& extraArgs = {});
    void stop();
    int port() const { return m_port; }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    QString baseUrl() const { return QStringLiteral("http://") + host(); }
    QString log();

private:
    QProcess m_process;
    QByteArray m_stderr;
    int m_port = 0;
};

} // namespace BL::Test
