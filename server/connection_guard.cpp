#include "server/connection_guard.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace BL::Server {

namespace {

std::string peerAddress(int sock)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return std::string();
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof text);
    return text;
}

void answerAndClose(int sock, int status, const char* reason)
{
    const std::string body = std::string(R"({"status":"error","reason":")") + reason + "\"}";
    const std::string reply =
        "HTTP/1.1 " + std::to_string(status) + " " + reason +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    ::send(sock, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(sock, SHUT_WR);
    ::close(sock);
}

} // namespace

CConnectionGuard::CConnectionGuard(SConnectionLimits limits) : m_limits(limits)
{
    m_watchdog = std::thread([this] { watch(); });
}

CConnectionGuard::~CConnectionGuard()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_watchdog.join();
}

void CConnectionGuard::handle(int sock, const std::function<void()>& serve)
{
    const std::string address = peerAddress(sock);
    if (!admit(address)) {
        answerAndClose(sock, 503, "too many connections");
        return;
    }
    const int watched = ::dup(sock);
    if (watched >= 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deadlines[watched] =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(m_limits.requestTimeoutMs);
    }
    switch (waitForHeader(sock)) {
    case EHeader::Complete:
        serve();
        break;
    case EHeader::TooLarge:
        answerAndClose(sock, 431, "request header too large");
        break;
    case EHeader::TimedOut:
        answerAndClose(sock, 408, "request timed out");
        break;
    case EHeader::Closed:
        ::close(sock);
        break;
    }
    if (watched >= 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deadlines.erase(watched);
        ::close(watched);
    }
    release(address);
}

CConnectionGuard::EHeader CConnectionGuard::waitForHeader(int sock) const
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_limits.headerTimeoutMs);
    std::vector<char> buffer(m_limits.maxHeaderBytes + 1);
    EHeader result = EHeader::TimedOut;
    int wanted = 1;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        // Wake only when more than what was already looked at has come in.
        ::setsockopt(sock, SOL_SOCKET, SO_RCVLOWAT, &wanted, sizeof wanted);
        pollfd entry{sock, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t got = ::recv(sock, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            result = EHeader::Closed;
            break;
        }
        const std::size_t size = static_cast<std::size_t>(got);
        const char* begin = buffer.data();
        const char* end = static_cast<const char*>(memmem(begin, size, "\r\n\r\n", 4));
        const std::size_t headerSize = end ? static_cast<std::size_t>(end - begin) + 4 : size;
        int lines = 0;
        for (std::size_t i = 0; i < headerSize; ++i)
            lines += begin[i] == '\n';
        if (lines > m_limits.maxHeaderLines + 1 || headerSize > m_limits.maxHeaderBytes) {
            result = EHeader::TooLarge;
            break;
        }
        if (end) {
            result = EHeader::Complete;
            break;
        }
        wanted = static_cast<int>(size) + 1;
    }
    const int one = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    return result;
}

bool CConnectionGuard::admit(const std::string& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int& open = m_perAddress[address];
    if (m_limits.perAddress > 0 && open >= m_limits.perAddress) {
        if (open == 0)
            m_perAddress.erase(address);
        return false;
    }
    ++open;
    return true;
}

void CConnectionGuard::release(const std::string& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_perAddress.find(address);
    if (found != m_perAddress.end() && --found->second <= 0)
        m_perAddress.erase(found);
}

void CConnectionGuard::watch()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait_for(lock, std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        for (auto it = m_deadlines.begin(); it != m_deadlines.end();) {
            if (it->second <= now) {
                // The serving thread sees its reads and writes fail and closes the connection.
                ::shutdown(it->first, SHUT_RDWR);
                it = m_deadlines.erase(it);
            } else {
                ++it;
            }
        }
    }
}

} // namespace BL::Server
