#include "raw_target.h"

#include <arpa/inet.h>
#include <cerrno>
#include <exception>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace BL::Test {

bool CRawConnection::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd fds[2] = {{m_socket, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents)
            return false;
        const ssize_t n =
            ::send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool CRawConnection::closedWithin(int ms)
{
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ready < 0;
        if (fds[1].revents)
            return true;
        // Whatever the client still sends is read and dropped; only its end counts.
        char buffer[4096];
        const ssize_t n = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
}

CRawTarget::CRawTarget(FAnswer answer, const std::string& address)
    : m_answer(std::move(answer)), m_address(address)
{
    if (::pipe(m_stop) != 0)
        throw std::runtime_error("no pipe");
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    socklen_t length = sizeof storage;
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof *v6;
    } else {
        throw std::runtime_error("not an address: " + address);
    }
    m_listen = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto* raw = reinterpret_cast<sockaddr*>(&storage);
    if (m_listen < 0 || ::bind(m_listen, raw, length) != 0 || ::listen(m_listen, 16) != 0 ||
        ::getsockname(m_listen, raw, &length) != 0)
        throw std::runtime_error("cannot listen on " + address);
    m_port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    m_thread = std::thread([this] { serve(); });
}

CRawTarget::~CRawTarget()
{
    const char stop = 's';
    if (::write(m_stop[1], &stop, 1) != 1)
        std::terminate();
    m_thread.join();
    ::close(m_listen);
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

std::vector<std::string> CRawTarget::requests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void CRawTarget::serve()
{
    for (;;) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const int socket = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        answerOne(socket);
        ::close(socket);
    }
}

void CRawTarget::answerOne(int socket)
{
    // The request head: up to its blank line, the client's end or 64 KiB.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd fds[2] = {{socket, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (!fds[0].revents)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
        if (n > 0)
            head.append(buffer, static_cast<std::size_t>(n));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(head.substr(0, head.find("\r\n")));
    }
    CRawConnection connection(socket, m_stop[0]);
    m_answer(connection);
}

} // namespace BL::Test
