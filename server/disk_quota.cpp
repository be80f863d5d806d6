#include "server/disk_quota.h"

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace BL::Server {

CDiskQuota::CDiskQuota(std::uint64_t limitBytes) : m_limit(limitBytes) {}

void CDiskQuota::countDirectory(const std::string& dir)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        return;
    std::uint64_t total = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        struct stat info
        {
        };
        if (entry->d_name[0] != '.' &&
            ::fstatat(::dirfd(listing.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode))
            total += static_cast<std::uint64_t>(info.st_size);
    }
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
