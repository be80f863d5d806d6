#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace BL::Test {

// One accepted connection of a CRawTarget, as its answer sees it.
class CRawConnection
{
public:
    CRawConnection(int socket, int stopFd) : m_socket(socket), m_stopFd(stopFd) {}

    // Writes all of `bytes`; false once the client has gone or the target is stopping.
    bool send(const std::string& bytes);
    // Waits up to `ms` (for ever when negative) for the client to close the connection; true
    // when it did, or when the target is stopping.
    bool closedWithin(int ms);

private:
    int m_socket;
    int m_stopFd;
};

// A hostile HTTP target on an ephemeral loopback port (127.0.0.1 unless told, or ::1) built on
// plain sockets, so that it can send bytes no well-behaved server library would. It takes one
// connection at a time, reads the request head and hands the connection to `answer`; the
// connection closes when `answer` returns.
class CRawTarget
{
public:
    using FAnswer = std::function<void(CRawConnection&)>;
    explicit CRawTarget(FAnswer answer, const std::string& address = "127.0.0.1");
    ~CRawTarget();
    CRawTarget(const CRawTarget&) = delete;
    CRawTarget& operator=(const CRawTarget&) = delete;

    int port() const { return m_port; }
    std::string url(const std::string& path) const
    {
        const bool v6 = m_address.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + m_address + "]" : m_address) + ":" + std::to_string(m_port) + path;
    }
    // The request lines received so far ("GET /x HTTP/1.1"), oldest first.
    std::vector<std::string> requests();

private:
    void serve();
    void answerOne(int socket);

    FAnswer m_answer;
    std::string m_address;
    int m_listen = -1;
    int m_stop[2] = {-1, -1};
    int m_port = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

} // namespace BL::Test
