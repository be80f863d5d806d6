#include "server/orphan_sweep.h"

#include <cstdio>
#include <ctime>

namespace BL::Server {

int sweepOrphans(CObjectStore& store, const std::string& what, const std::set<std::string>& named,
                 std::int64_t minAgeMs)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t nowMs = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    int removed = 0;
    for (const SObjectEntry& entry : store.list()) {
        if (named.count(entry.name) || nowMs - entry.modifiedMs < minAgeMs)
            continue;
        store.remove(entry.name);
        ++removed;
        std::fprintf(stderr, "brightloom-server: removed %s/%s, which no row names\n", what.c_str(),
                     entry.name.c_str());
    }
    return removed;
}

} // namespace BL::Server
