#include "server/attempt_limiter.h"

#include <iterator>

namespace BL::Server {

CMemoryAttemptLimiter::CMemoryAttemptLimiter(int maxFailures, std::int64_t windowMs)
    : m_maxFailures(static_cast<std::size_t>(maxFailures > 0 ? maxFailures : 1)), m_windowMs(windowMs)
{
}

void CMemoryAttemptLimiter::dropExpired(std::deque<std::int64_t>& failures, std::int64_t nowMs) const
{
    while (!failures.empty() && failures.front() <= nowMs - m_windowMs)
        failures.pop_front();
}

bool CMemoryAttemptLimiter::tryAttempt(const std::string& address, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Addresses that stopped failing are forgotten once per window, so the table stays as
    // small as the set of addresses failing right now.
    if (nowMs >= m_nextSweepMs) {
        for (auto it = m_failures.begin(); it != m_failures.end();) {
            dropExpired(it->second, nowMs);
            it = it->second.empty() ? m_failures.erase(it) : std::next(it);
        }
        m_nextSweepMs = nowMs + m_windowMs;
    }
    std::deque<std::int64_t>& failures = m_failures[address];
    dropExpired(failures, nowMs);
    if (failures.size() >= m_maxFailures)
        return false;
    failures.push_back(nowMs);
    return true;
}

void CMemoryAttemptLimiter::forgive(const std::string& address, std::int64_t attemptMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_failures.find(address);
    if (found == m_failures.end())
        return;
    std::deque<std::int64_t>& failures = found->second;
    for (auto it = failures.rbegin(); it != failures.rend(); ++it) {
        if (*it == attemptMs) {
            failures.erase(std::next(it).base());
            break;
        }
    }
    if (failures.empty())
        m_failures.erase(found);
}

} // namespace BL::Server
