#include "pg_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace BL::Test {

namespace {

bool sendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

CPgCommitDropProxy::CPgCommitDropProxy(int serverPort) : m_serverPort(serverPort)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

CPgCommitDropProxy::~CPgCommitDropProxy()
{
    m_stopping = true;
    if (m_acceptor.joinable())
        m_acceptor.join();
    for (std::thread& thread : m_threads)
        thread.join();
    ::close(m_listener);
}

void CPgCommitDropProxy::armAfter(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armedText = text;
}

void CPgCommitDropProxy::acceptLoop()
{
    while (!m_stopping) {
        pollfd entry{m_listener, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
            m_threads.emplace_back([this, client] { relay(client); });
    }
}

void CPgCommitDropProxy::relay(int client)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_serverPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(server);
        ::close(client);
        return;
    }
    bool sawArmedText = false;
    bool dropAfterAnswer = false;
    char buffer[65536];
    while (!m_stopping) {
        pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(entries, 2, 50) <= 0)
            continue;
        if (entries[0].revents) {
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0 || !sendAll(server, buffer, static_cast<std::size_t>(got)))
                break;
            const std::string chunk(buffer, static_cast<std::size_t>(got));
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_armedText.empty() && chunk.find(m_armedText) != std::string::npos)
                sawArmedText = true;
            if (sawArmedText && chunk.find(std::string("COMMIT\0", 7)) != std::string::npos) {
                dropAfterAnswer = true;
                m_armedText.clear();
            }
        }
        if (entries[1].revents) {
            const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
            // The server answered the COMMIT: it has run. The client never hears of it.
            if (got > 0 && dropAfterAnswer)
                ++m_dropped;
            if (got <= 0 || dropAfterAnswer || !sendAll(client, buffer, static_cast<std::size_t>(got)))
                break;
        }
    }
    ::close(server);
    ::close(client);
}

} // namespace BL::Test
