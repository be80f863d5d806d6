#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace BL::Server {

struct SConnectionLimits
{
    int perAddress = 16;           // open connections one client address may hold; 0: no cap
    int requestTimeoutMs = 120000; // from accept to the end of the reply, whatever the pace
    int headerTimeoutMs = 10000;   // for the whole header block, not per read
    std::size_t maxHeaderBytes = 16 * 1024;
    int maxHeaderLines = 64;
};

// Keeps slow or greedy clients from holding the service's threads: a cap on the connections
// per client address, a whole header block that must arrive within its deadline and caps, and
// a total deadline per connection after which a watchdog cuts the socket, so a client that
// trickles a byte now and then cannot outlast the per-read timeouts forever.
class CConnectionGuard
{
public:
    explicit CConnectionGuard(SConnectionLimits limits);
    ~CConnectionGuard();
    CConnectionGuard(const CConnectionGuard&) = delete;
    CConnectionGuard& operator=(const CConnectionGuard&) = delete;

    // Runs `serve` for a freshly accepted socket when the client may have it, having waited for
    // its header block; otherwise answers with a short refusal and closes the socket. `serve`
    // closes the socket itself.
    void handle(int sock, const std::function<void()>& serve);

private:
    enum class EHeader { Complete, TooLarge, TimedOut, Closed };
    EHeader waitForHeader(int sock) const;
    bool admit(const std::string& address);
    void release(const std::string& address);
    void watch();

    SConnectionLimits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::map<std::string, int> m_perAddress;
    // A duplicate of each served socket, so that cutting it after its deadline can never hit a
    // descriptor number the system has meanwhile handed to a new connection.
    std::map<int, std::chrono::steady_clock::time_point> m_deadlines;
    std::thread m_watchdog;
};

} // namespace BL::Server
