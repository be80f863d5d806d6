#include "server/pg_counters.h"

#include <algorithm>

namespace BL::Server {

const char pgCounterTables[] =
    "CREATE UNLOGGED TABLE IF NOT EXISTS attempts ("
    " bucket TEXT NOT NULL,"
    " address TEXT NOT NULL,"
    " attempt_ms BIGINT NOT NULL,"
    " at_ms BIGINT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS attempts_by_address ON attempts (bucket, address, at_ms);"
    // A row may stand for several attempts counted together.
    "ALTER TABLE attempts ADD COLUMN IF NOT EXISTS weight INTEGER NOT NULL DEFAULT 1;"
    "CREATE TABLE IF NOT EXISTS storage_usage ("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " used BIGINT NOT NULL);"
    "INSERT INTO storage_usage (id, used) VALUES (1, 0) ON CONFLICT DO NOTHING";

CPgAttemptLimiter::CPgAttemptLimiter(CPgPool& pool, std::string bucket, int maxAttempts,
                                     std::int64_t windowMs)
    : m_pool(pool), m_bucket(std::move(bucket)), m_maxAttempts(maxAttempts > 0 ? maxAttempts : 1),
      m_windowMs(windowMs)
{
}

bool CPgAttemptLimiter::tryAttempt(const std::string& address, std::int64_t nowMs)
{
    return tryAttempts(address, nowMs, 1) == 1;
}

int CPgAttemptLimiter::tryAttempts(const std::string& address, std::int64_t nowMs, int count)
{
    auto connection = m_pool.acquire();
    CPgTransaction transaction(*connection);
    // Two nodes counting the same address take turns, so both cannot slip in at the limit.
    connection->exec("SELECT pg_advisory_xact_lock(hashtext($1 || ' ' || $2))", {m_bucket, address});
    connection->exec("DELETE FROM attempts WHERE bucket = $1 AND address = $2 AND at_ms <= bl_now_ms() - $3",
                     {m_bucket, address, m_windowMs});
    const CPgResult counted =
        connection->exec("SELECT COALESCE(sum(weight), 0) FROM attempts WHERE bucket = $1 AND address = $2",
                         {m_bucket, address});
    const std::int64_t room = std::max<std::int64_t>(0, m_maxAttempts - counted.integer(0, 0));
    const int allowed = static_cast<int>(std::min<std::int64_t>(room, count));
    if (allowed > 0) {
        // One row for the lot: a burst costs a row, not a row an attempt.
        connection->exec("INSERT INTO attempts (bucket, address, attempt_ms, at_ms, weight)"
                         " VALUES ($1, $2, $3, bl_now_ms(), $4)",
                         {m_bucket, address, nowMs, allowed});
    }
    transaction.commit();
    return allowed;
}

void CPgAttemptLimiter::forgive(const std::string& address, std::int64_t attemptMs)
{
    m_pool.acquire()->exec("DELETE FROM attempts WHERE ctid IN (SELECT ctid FROM attempts"
                           " WHERE bucket = $1 AND address = $2 AND attempt_ms = $3 LIMIT 1)",
                           {m_bucket, address, attemptMs});
}

CPgDiskQuota::CPgDiskQuota(CPgPool& pool, std::uint64_t limitBytes)
    : m_pool(pool), m_limit(static_cast<std::int64_t>(limitBytes))
{
}

void CPgDiskQuota::recount(const CObjectStore& pictures, const CObjectStore& reports)
{
    const auto total = static_cast<std::int64_t>(sizeOf(pictures) + sizeOf(reports));
    m_pool.acquire()->exec("UPDATE storage_usage SET used = $1", {total});
    // The files were counted as they are: whatever was owed is in that count already.
    m_owed = 0;
}

void CPgDiskQuota::settleOwed(CPgConnection& connection)
{
    const std::int64_t owed = m_owed.exchange(0);
    if (owed == 0)
        return;
    try {
        connection.exec("UPDATE storage_usage SET used = GREATEST(used - $1, 0)", {owed});
    } catch (...) {
        m_owed += owed;
        throw;
    }
}

bool CPgDiskQuota::take(std::uint64_t bytes)
{
    const auto amount = static_cast<std::int64_t>(bytes);
    auto connection = m_pool.acquire();
    settleOwed(*connection);
    if (m_limit == 0) {
        connection->exec("UPDATE storage_usage SET used = used + $1", {amount});
        return true;
    }
    return connection
               ->exec("UPDATE storage_usage SET used = used + $1 WHERE used + $1 <= $2", {amount, m_limit})
               .affected() == 1;
}

void CPgDiskQuota::give(std::uint64_t bytes)
{
    m_owed += static_cast<std::int64_t>(bytes);
    auto connection = m_pool.acquire();
    settleOwed(*connection);
}

bool CPgDiskQuota::full()
{
    if (m_limit == 0)
        return false;
    auto connection = m_pool.acquire();
    settleOwed(*connection);
    return connection->exec("SELECT used >= $1 FROM storage_usage", {m_limit}).text(0, 0) == "t";
}

} // namespace BL::Server
