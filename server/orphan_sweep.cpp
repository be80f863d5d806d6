#include "server/orphan_sweep.h"

#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace BL::Server {

int sweepOrphans(const std::string& dir, const std::set<std::string>& named, std::int64_t minAgeMs)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        return 0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t nowMs = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    int removed = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || named.count(name))
            continue;
        const std::string path = dir + "/" + name;
        struct stat info
        {
        };
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        const std::int64_t modifiedMs =
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
        if (nowMs - modifiedMs < minAgeMs)
            continue;
        if (::unlink(path.c_str()) == 0) {
            ++removed;
            std::fprintf(stderr, "brightloom-server: removed %s, which no row names\n", path.c_str());
        }
    }
    return removed;
}

} // namespace BL::Server
