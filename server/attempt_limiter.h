#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace BL::Server {

// Counts attempts per client address over a sliding window: failed credential checks, so that
// hashes cannot be guessed at line speed, and the requests that make anonymous callers write.
// Only the counted address is refused: nobody is locked out by another address's attempts.
// Safe from any thread.
class CAttemptLimiter
{
public:
    virtual ~CAttemptLimiter() = default;

    // Counts an attempt from `address` at `nowMs` until forgive() says otherwise, so that checks
    // running at the same time cannot slip past the limit together. False, and nothing counted,
    // while the address already has the limit's number of attempts within the window.
    virtual bool tryAttempt(const std::string& address, std::int64_t nowMs) = 0;
    // `count` attempts from `address` at once, as many of them counted as the limit lets in;
    // returns that number. A store whose counts are rows checks them all in one go.
    virtual int tryAttempts(const std::string& address, std::int64_t nowMs, int count)
    {
        int allowed = 0;
        while (allowed < count && tryAttempt(address, nowMs))
            ++allowed;
        return allowed;
    }
    // The attempt begun at `attemptMs` succeeded: it no longer counts.
    virtual void forgive(const std::string& address, std::int64_t attemptMs) = 0;
};

// The counts in this node's memory, for a service that runs as one node.
class CMemoryAttemptLimiter : public CAttemptLimiter
{
public:
    CMemoryAttemptLimiter(int maxFailures, std::int64_t windowMs);

    bool tryAttempt(const std::string& address, std::int64_t nowMs) override;
    void forgive(const std::string& address, std::int64_t attemptMs) override;

private:
    void dropExpired(std::deque<std::int64_t>& failures, std::int64_t nowMs) const;

    const std::size_t m_maxFailures;
    const std::int64_t m_windowMs;
    std::mutex m_mutex;
    std::unordered_map<std::string, std::deque<std::int64_t>> m_failures;
    std::int64_t m_nextSweepMs = 0;
};

} // namespace BL::Server
