#include "http_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace BL::Test {

namespace {

bool sameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::string SReply::header(const std::string& name, std::size_t index) const
{
    for (const auto& [key, value] : headers)
        if (sameName(key, name) && index-- == 0)
            return value;
    return {};
}

bool SReply::hasHeader(const std::string& name) const
{
    return headerCount(name) > 0;
}

std::size_t SReply::headerCount(const std::string& name) const
{
    std::size_t count = 0;
    for (const auto& header : headers)
        count += sameName(header.first, name) ? 1 : 0;
    return count;
}

CHttpClient::CHttpClient(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

CHttpClient::~CHttpClient()
{
    disconnect();
}

void CHttpClient::disconnect()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool CHttpClient::connectSocket(std::string* error)
{
    sockaddr_storage address{};
    socklen_t length = 0;
    const bool v6 = m_host.find(':') != std::string::npos;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(m_port));
        ::inet_pton(AF_INET6, m_host.c_str(), &in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(m_port));
        ::inet_pton(AF_INET, m_host == "localhost" ? "127.0.0.1" : m_host.c_str(), &in4->sin_addr);
        length = sizeof *in4;
    }
    m_fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{m_timeoutMs / 1000, (m_timeoutMs % 1000) * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        *error = std::string("connect: ") + std::strerror(errno);
        disconnect();
        return false;
    }
    return true;
}

void CHttpClient::setTimeoutMs(int ms)
{
    m_timeoutMs = ms;
    if (m_fd >= 0) {
        timeval timeout{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    }
}

CResult CHttpClient::get(const std::string& path, const SHeaders& headers)
{
    return send("GET", path, headers, std::string());
}

CResult CHttpClient::head(const std::string& path, const SHeaders& headers)
{
    return send("HEAD", path, headers, std::string());
}

CResult CHttpClient::post(const std::string& path, const std::string& body, const std::string& contentType)
{
    return post(path, {}, body, contentType);
}

CResult CHttpClient::post(const std::string& path, const SHeaders& headers, const std::string& body,
                          const std::string& contentType)
{
    SHeaders all = headers;
    all.emplace_back("Content-Type", contentType);
    return send("POST", path, all, body);
}

CResult CHttpClient::post(const std::string& path, const std::vector<SFormItem>& items)
{
    std::mt19937_64 random(std::random_device{}());
    const std::string boundary = "----bl-test-" + std::to_string(random());
    std::string body;
    for (const SFormItem& item : items) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + item.name + "\"";
        if (!item.filename.empty())
            body += "; filename=\"" + item.filename + "\"";
        body += "\r\n";
        if (!item.contentType.empty())
            body += "Content-Type: " + item.contentType + "\r\n";
        body += "\r\n" + item.content + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return post(path, body, "multipart/form-data; boundary=" + boundary);
}

CResult CHttpClient::send(const std::string& method, const std::string& path, const SHeaders& headers,
                          const std::string& body)
{
    std::string request =
        method + " " + path + " HTTP/1.1\r\nHost: " + m_host + ":" + std::to_string(m_port) + "\r\n";
    for (const auto& [name, value] : headers)
        request += name + ": " + value + "\r\n";
    if (method != "GET" && method != "HEAD")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!m_keepAlive)
        request += "Connection: close\r\n";
    request += "\r\n" + body;
    // A kept connection the server has closed meanwhile fails before any reply byte: once more
    // on a new one.
    const bool reused = m_fd >= 0;
    CResult result = exchange(request, method == "HEAD");
    if (!result && reused && result.error() == "closed before a reply")
        result = exchange(request, method == "HEAD");
    return result;
}

CResult CHttpClient::exchange(const std::string& request, bool headOnly)
{
    std::string error;
    if (m_fd < 0 && !connectSocket(&error))
        return CResult(error);
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(m_fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            disconnect();
            return CResult(std::string(sent == 0 ? "closed before a reply" : "send failed"));
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string data;
    char buffer[64 * 1024];
    const auto fill = [&]() {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0)
            data.append(buffer, static_cast<std::size_t>(n));
        return n > 0;
    };
    SReply reply;
    std::size_t headEnd = std::string::npos;
    while (true) {
        while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) {
                disconnect();
                return CResult(std::string(data.empty() ? "closed before a reply" : "cut-off reply"));
            }
        }
        // "HTTP/1.1 200 OK"
        reply.status = std::atoi(data.c_str() + std::min<std::size_t>(9, data.size()));
        if (reply.status >= 200 || reply.status < 100)
            break;
        data.erase(0, headEnd + 4); // an interim 100 Continue
    }
    std::size_t line = data.find("\r\n") + 2;
    while (line < headEnd) {
        const std::size_t end = data.find("\r\n", line);
        const std::string text = data.substr(line, end - line);
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos)
            reply.headers.emplace_back(trimmed(text.substr(0, colon)), trimmed(text.substr(colon + 1)));
        line = end + 2;
    }
    data.erase(0, headEnd + 4);
    bool closeAfter = !m_keepAlive || sameName(reply.header("Connection"), "close");
    if (headOnly || reply.status == 204 || reply.status == 304) {
    } else if (reply.hasHeader("Content-Length")) {
        const std::size_t length = std::stoull(reply.header("Content-Length"));
        while (data.size() < length)
            if (!fill()) {
                disconnect();
                return CResult(std::string("cut-off body"));
            }
        reply.body = data.substr(0, length);
    } else if (sameName(reply.header("Transfer-Encoding"), "chunked")) {
        std::size_t at = 0;
        while (true) {
            std::size_t end;
            while ((end = data.find("\r\n", at)) == std::string::npos)
                if (!fill()) {
                    disconnect();
                    return CResult(std::string("cut-off body"));
                }
            const std::size_t size = std::stoull(data.substr(at, end - at), nullptr, 16);
            while (data.size() < end + 2 + size + 2)
                if (!fill()) {
                    disconnect();
                    return CResult(std::string("cut-off body"));
                }
            reply.body += data.substr(end + 2, size);
            at = end + 2 + size + 2;
            if (size == 0)
                break;
        }
    } else {
        while (fill()) {
        }
        reply.body = data;
        closeAfter = true;
    }
    if (closeAfter)
        disconnect();
    return CResult(std::move(reply));
}

} // namespace BL::Test
