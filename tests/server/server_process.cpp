#include "server_process.h"

#include "server_test_support.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace BL::Test {

CServerProcess::CServerProcess(const QString& dataDir, const QString& logPath, const QStringList& extra)
{
    QFile::remove(logPath);
    log = logPath;
    process.setStandardErrorFile(logPath);
    process.start(QStringLiteral(BL_SERVER_BINARY),
                  QStringList{"--listen", "127.0.0.1:0", "--data", dataDir} + extra);
    process.waitForStarted(5000);
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    for (int i = 0; i < 200 && port == 0; ++i) {
        const auto match = listening.match(QString::fromStdString(readFile(log)));
        if (match.hasMatch())
            port = match.captured(1).toInt();
        else
            QTest::qSleep(25);
    }
}

CServerProcess::~CServerProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

std::string CServerProcess::logText() const
{
    return readFile(log);
}

long CServerProcess::residentKiB() const
{
    const std::string status = readFile(QStringLiteral("/proc/%1/status").arg(process.processId()));
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

int connectFrom(const char* source, int port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::string readAll(int fd)
{
    std::string reply;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<std::size_t>(got));
    return reply;
}

bool waitReadable(int fd, int timeoutMs)
{
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, timeoutMs) == 1;
}

std::string readExactly(int fd, std::size_t size, int timeoutMs)
{
    std::string bytes;
    QDeadlineTimer deadline(timeoutMs);
    while (bytes.size() < size && waitReadable(fd, static_cast<int>(deadline.remainingTime()))) {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

bool connectionRefused(int port)
{
    const int fd = connectFrom("127.0.0.1", port, 1000);
    if (fd < 0)
        return true;
    ::close(fd);
    return false;
}

std::pair<int, std::string> splitReply(const std::string& reply)
{
    if (reply.compare(0, 9, "HTTP/1.1 ") != 0 || reply.size() < 12)
        return {0, reply};
    const std::size_t bodyStart = reply.find("\r\n\r\n");
    return {std::stoi(reply.substr(9, 3)),
            bodyStart == std::string::npos ? std::string() : reply.substr(bodyStart + 4)};
}

std::pair<int, std::string> postFrom(const char* source, int port, const std::string& path,
                                     const std::string& body, const std::string& extraHeaders)
{
    const int fd = connectFrom(source, port);
    if (fd < 0)
        return {0, std::string()};
    std::string reply;
    const std::string request = "POST " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                "application/x-www-form-urlencoded\r\n" +
                                extraHeaders + "Content-Length: " + std::to_string(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()))
        reply = readAll(fd);
    ::close(fd);
    return splitReply(reply);
}

} // namespace BL::Test
