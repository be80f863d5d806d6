#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace BL::Server {

// Counts failed credential checks per client address over a sliding window, so that hashes
// cannot be guessed at line speed. Only failures count and only the failing address is
// refused: a client whose check succeeds is never slowed, and nobody is locked out by another
// address's failures. Safe from any thread.
class CAttemptLimiter
{
public:
    CAttemptLimiter(int maxFailures, std::int64_t windowMs);

    // Counts a check from `address` at `nowMs` as failed until forgive() says otherwise, so
    // that checks running at the same time cannot slip past the limit together. False, and
    // nothing counted, while the address already has maxFailures failures within the window.
    bool tryAttempt(const std::string& address, std::int64_t nowMs);
    // The check begun at `attemptMs` succeeded: it no longer counts.
    void forgive(const std::string& address, std::int64_t attemptMs);

private:
    void dropExpired(std::deque<std::int64_t>& failures, std::int64_t nowMs) const;

    const std::size_t m_maxFailures;
    const std::int64_t m_windowMs;
    std::mutex m_mutex;
    std::unordered_map<std::string, std::deque<std::int64_t>> m_failures;
    std::int64_t m_nextSweepMs = 0;
};

} // namespace BL::Server
