#include "server/disk_quota.h"

namespace BL::Server {

CDiskQuota::CDiskQuota(std::uint64_t limitBytes) : m_limit(limitBytes) {}

void CDiskQuota::count(const CObjectStore& store)
{
    std::uint64_t total = 0;
    for (const SObjectEntry& entry : store.list())
        total += entry.size;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used += total;
}

bool CDiskQuota::take(std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_limit != 0 && (bytes > m_limit || m_used > m_limit - bytes))
        return false;
    m_used += bytes;
    return true;
}

void CDiskQuota::give(std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used -= bytes < m_used ? bytes : m_used;
}

bool CDiskQuota::full()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_limit != 0 && m_used >= m_limit;
}

std::uint64_t CDiskQuota::used()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_used;
}

} // namespace BL::Server
