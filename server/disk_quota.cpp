#include "server/disk_quota.h"

#include <cstdio>
#include <exception>

namespace BL::Server {

std::uint64_t CDiskQuota::sizeOf(const CObjectStore& store)
{
    std::uint64_t total = 0;
    for (const SObjectEntry& entry : store.list())
        total += entry.size;
    return total;
}

CMemoryDiskQuota::CMemoryDiskQuota(std::uint64_t limitBytes) : m_limit(limitBytes) {}

void CMemoryDiskQuota::recount(const CObjectStore& pictures, const CObjectStore& reports)
{
    const std::uint64_t total = sizeOf(pictures) + sizeOf(reports);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used = total;
}

bool CMemoryDiskQuota::take(std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_limit != 0 && (bytes > m_limit || m_used > m_limit - bytes))
        return false;
    m_used += bytes;
    return true;
}

void CMemoryDiskQuota::give(std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used -= bytes < m_used ? bytes : m_used;
}

bool CMemoryDiskQuota::full()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_limit != 0 && m_used >= m_limit;
}

CQuotaHold::~CQuotaHold() noexcept
{
    if (!m_held)
        return;
    try {
        m_quota.give(m_bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr,
                     "error: giving back %llu bytes of disk quota, owed until the database answers: %s\n",
                     static_cast<unsigned long long>(m_bytes), e.what());
    } catch (...) {
        std::fprintf(stderr, "error: giving back disk quota failed\n");
    }
}

} // namespace BL::Server
