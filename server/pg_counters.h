#pragma once

#include "server/attempt_limiter.h"
#include "server/disk_quota.h"
#include "server/pg_connection.h"

#include <atomic>

namespace BL::Server {

// Attempt counts in the shared database, so that a client cannot multiply its limit by the
// number of nodes: one row per attempt in the window, counted under a lock on the address.
class CPgAttemptLimiter : public CAttemptLimiter
{
public:
    // `bucket` keeps the counts of different limits apart.
    CPgAttemptLimiter(CPgPool& pool, std::string bucket, int maxAttempts, std::int64_t windowMs);

    bool tryAttempt(const std::string& address, std::int64_t nowMs) override;
    int tryAttempts(const std::string& address, std::int64_t nowMs, int count) override;
    void forgive(const std::string& address, std::int64_t attemptMs) override;

private:
    CPgPool& m_pool;
    const std::string m_bucket;
    const std::int64_t m_maxAttempts;
    const std::int64_t m_windowMs;
};

// The bytes used, in one row of the shared database that every node takes from and gives back to.
// Bytes that could not be given back (the database did not answer) are owed in this node's memory
// and given back by the next statement of this quota that reaches the database; a node that exits
// owing bytes leaves them to the recount at the next start.
class CPgDiskQuota : public CDiskQuota
{
public:
    CPgDiskQuota(CPgPool& pool, std::uint64_t limitBytes);

    void recount(const CObjectStore& pictures, const CObjectStore& reports) override;
    bool take(std::uint64_t bytes) override;
    void give(std::uint64_t bytes) override;
    bool full() override;

    // Bytes given back while the database did not answer, not yet settled.
    std::int64_t owed() const { return m_owed.load(); }

private:
    void settleOwed(CPgConnection& connection);

    CPgPool& m_pool;
    const std::int64_t m_limit;
    std::atomic<std::int64_t> m_owed{0};
};

// The tables of the two above: counters, not records, so attempts are not written to the log.
extern const char pgCounterTables[];

} // namespace BL::Server
