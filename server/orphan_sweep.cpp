#include "server/orphan_sweep.h"

#include <cstdio>

namespace BL::Server {

int sweepOrphans(CObjectStore& store, const std::string& what,
                 const std::function<std::set<std::string>()>& namedNow, std::int64_t minAgeMs)
{
    // The clock before the listing: an object stored after this moment cannot look old.
    const std::int64_t storeNowMs = store.clockMs();
    if (storeNowMs < 0) {
        std::fprintf(stderr, "error: cannot read the clock of %s; no orphans removed\n", what.c_str());
        return 0;
    }
    const std::vector<SObjectEntry> entries = store.list();
    const std::set<std::string> named = namedNow();
    int removed = 0;
    for (const SObjectEntry& entry : entries) {
        if (named.count(entry.name) || storeNowMs - entry.modifiedMs < minAgeMs)
            continue;
        store.remove(entry.name);
        ++removed;
        std::fprintf(stderr, "brightloom-server: removed %s/%s, which no row names\n", what.c_str(),
                     entry.name.c_str());
    }
    return removed;
}

int sweepOrphans(CObjectStore& store, const std::string& what, const std::set<std::string>& named,
                 std::int64_t minAgeMs)
{
    return sweepOrphans(
        store, what, [&named] { return named; }, minAgeMs);
}

} // namespace BL::Server
