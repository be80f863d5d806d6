#include "headless_browser.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <sys/socket.h>
#include <sys/time.h>

namespace BL::Test {

namespace {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

// Every wait on the browser; a page of the service loads in far less.
constexpr int waitSeconds = 30;

} // namespace

// The WebSocket to the browser's DevTools endpoint, read and written one message at a time.
class CHeadlessBrowser::CConnection
{
public:
    CConnection(int port, const std::string& path)
    {
        m_socket.next_layer().connect(
            {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
        // A browser that stops answering fails the read instead of hanging the test.
        const timeval timeout{waitSeconds, 0};
        ::setsockopt(m_socket.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout,
                     sizeof timeout);
        m_socket.read_message_max(256 * 1024 * 1024);
        m_socket.handshake("127.0.0.1:" + std::to_string(port), path);
    }
    void send(const QJsonObject& message)
    {
        const QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
        m_socket.text(true);
        m_socket.write(asio::buffer(text.constData(), static_cast<std::size_t>(text.size())));
    }
    // The next message; an empty object when none came in time.
    QJsonObject receive()
    {
        boost::beast::flat_buffer buffer;
        boost::system::error_code error;
        m_socket.read(buffer, error);
        if (error)
            return {};
        const auto data = buffer.data();
        return QJsonDocument::fromJson(
                   QByteArray(static_cast<const char*>(data.data()), static_cast<int>(data.size())))
            .object();
    }

private:
    asio::io_context m_io;
    websocket::stream<asio::ip::tcp::socket> m_socket{m_io};
};

CHeadlessBrowser::CHeadlessBrowser()
{
    m_process.setProgram(QString::fromLatin1(binary));
    m_process.setArguments({"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                            "--disable-component-update", "--disable-sync", "--no-first-run",
                            "--user-data-dir=" + m_profile.path(),
                            // Loopback only: any other host name resolves to nothing.
                            "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
                            "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                            "about:blank"});
    // Into files, not pipes: a browser that writes more than a pipe holds while nobody reads
    // would stop.
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(m_profile.filePath(QStringLiteral("chromium.log")));
    m_process.start();
    if (!m_process.waitForStarted(waitSeconds * 1000)) {
        m_error = QStringLiteral("chromium did not start: ") + m_process.errorString();
        return;
    }
    // It names its endpoint in the profile once it listens: the port, then the path.
    QStringList endpoint;
    QElapsedTimer waited;
    waited.start();
    while (endpoint.size() < 2) {
        if (m_process.state() != QProcess::Running || waited.elapsed() > waitSeconds * 1000) {
            m_error = QStringLiteral("chromium named no DevTools endpoint");
            return;
        }
        QThread::msleep(20);
        QFile file(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
        if (file.open(QIODevice::ReadOnly))
            endpoint = QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    try {
        m_connection = std::make_unique<CConnection>(endpoint[0].toInt(), endpoint[1].toStdString());
    } catch (const std::exception& e) {
        m_error = QStringLiteral("cannot reach chromium's DevTools: ") + e.what();
        return;
    }
    const QString target =
        call("Target.createTarget", {{"url", "about:blank"}}, false).value("targetId").toString();
    m_session = call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, false)
                    .value("sessionId")
                    .toString();
    if (m_session.isEmpty() || call("Page.enable").contains("error")) {
        m_error = QStringLiteral("no page to drive");
        return;
    }
}

CHeadlessBrowser::~CHeadlessBrowser()
{
    if (m_connection && m_error.isEmpty())
        call("Browser.close", {}, false);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QJsonObject CHeadlessBrowser::call(const QString& method, const QJsonObject& params, bool onPage)
{
    if (!m_connection)
        return {{"error", "not connected"}};
    const int id = m_nextId++;
    QJsonObject message{{"id", id}, {"method", method}, {"params", params}};
    if (onPage)
        message.insert("sessionId", m_session);
    try {
        m_connection->send(message);
        for (;;) {
            const QJsonObject reply = m_connection->receive();
            if (reply.isEmpty())
                return {{"error", QString(QStringLiteral("no reply to ") + method)}};
            if (reply.value("id").toInt() == id)
                return reply.contains("error") ? QJsonObject{{"error", reply.value("error")}}
                                               : reply.value("result").toObject();
            if (reply.contains("method"))
                m_events.push_back(reply);
        }
    } catch (const std::exception& e) {
        return {{"error", QString::fromLocal8Bit(e.what())}};
    }
}

bool CHeadlessBrowser::waitForEvent(const QString& method)
{
    for (;;) {
        while (!m_events.empty()) {
            const QJsonObject event = m_events.front();
            m_events.pop_front();
            if (event.value("method").toString() == method)
                return true;
        }
        const QJsonObject next = m_connection ? m_connection->receive() : QJsonObject();
        if (next.isEmpty())
            return false;
        if (next.contains("method"))
            m_events.push_back(next);
    }
}

bool CHeadlessBrowser::setViewport(int width, int height, double deviceScale)
{
    return !call("Emulation.setDeviceMetricsOverride", {{"width", width},
                                                        {"height", height},
                                                        {"deviceScaleFactor", deviceScale},
                                                        {"mobile", width < 600}})
                .contains("error");
}

bool CHeadlessBrowser::navigate(const std::string& url)
{
    m_events.clear();
    const QJsonObject result = call("Page.navigate", {{"url", QString::fromStdString(url)}});
    return !result.contains("error") && !result.contains("errorText") && waitForEvent("Page.loadEventFired");
}

bool CHeadlessBrowser::waitForLoad()
{
    return waitForEvent("Page.loadEventFired");
}

QJsonValue CHeadlessBrowser::evaluate(const QString& expression)
{
    const QJsonObject result =
        call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    return result.value("result").toObject().value("value");
}

QImage CHeadlessBrowser::screenshot()
{
    const QJsonObject shot = call("Page.captureScreenshot", {{"format", "png"}});
    return QImage::fromData(QByteArray::fromBase64(shot.value("data").toString().toLatin1()), "PNG");
}

bool CHeadlessBrowser::press(const QString& key, bool shift)
{
    // What the keyboard sends for the keys the tests use: code, key code, and the text it types.
    struct SKey
    {
        const char* key;
        const char* code;
        int keyCode;
        const char* text;
    };
    static const SKey keys[] = {{"Tab", "Tab", 9, ""}, {"Enter", "Enter", 13, "\r"}, {" ", "Space", 32, " "}};
    for (const SKey& known : keys) {
        if (key != QLatin1String(known.key))
            continue;
        const int modifiers = shift ? 8 : 0;
        QJsonObject down{{"type", *known.text ? "keyDown" : "rawKeyDown"},
                         {"key", known.key},
                         {"code", known.code},
                         {"windowsVirtualKeyCode", known.keyCode},
                         {"modifiers", modifiers}};
        if (*known.text)
            down.insert("text", known.text);
        const QJsonObject up{{"type", "keyUp"},
                             {"key", known.key},
                             {"code", known.code},
                             {"windowsVirtualKeyCode", known.keyCode},
                             {"modifiers", modifiers}};
        return !call("Input.dispatchKeyEvent", down).contains("error") &&
               !call("Input.dispatchKeyEvent", up).contains("error");
    }
    return false;
}

bool CHeadlessBrowser::type(const QString& text)
{
    return !call("Input.insertText", {{"text", text}}).contains("error");
}

} // namespace BL::Test
