#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace BL::Test {

// A TCP relay on 127.0.0.1 in front of a PostgreSQL server, for losing a connection at a chosen
// moment: once armed, the first COMMIT that follows a statement containing the armed text is
// passed on, the server's answer to it is read, and then both sides are closed without the answer
// reaching the client. The COMMIT has run; the client only knows its connection went.
class CPgCommitDropProxy
{
public:
    explicit CPgCommitDropProxy(int serverPort);
    ~CPgCommitDropProxy();
    CPgCommitDropProxy(const CPgCommitDropProxy&) = delete;
    CPgCommitDropProxy& operator=(const CPgCommitDropProxy&) = delete;

    int port() const { return m_port; }
    void armAfter(const std::string& text);
    // How many COMMITs were dropped so far.
    int dropped() const { return m_dropped.load(); }

private:
    void acceptLoop();
    void relay(int client);

    const int m_serverPort;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::string m_armedText;
    std::atomic<int> m_dropped{0};
    std::vector<std::thread> m_threads;
    std::thread m_acceptor;
};

} // namespace BL::Test
