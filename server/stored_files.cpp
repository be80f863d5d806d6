#include "server/stored_files.h"

#include "server/disk_quota.h"
#include "server/object_store.h"

#include <cstdio>
#include <exception>
#include <set>

namespace BL::Server {

void removeStoredFiles(CObjectStore& store, CDiskQuota& quota, const std::vector<std::string>& names)
{
    std::uint64_t bytes = 0;
    // A thumbnail may be a picture itself: each file goes once.
    for (const std::string& name : std::set<std::string>(names.begin(), names.end())) {
        if (const auto reader = store.open(name))
            bytes += reader->size();
        store.remove(name);
    }
    if (bytes == 0)
        return;
    try {
        quota.give(bytes);
    } catch (const std::exception& e) {
        // A database quota keeps the bytes owed and settles them with its next statement.
        std::fprintf(stderr, "error: giving back %llu bytes of disk quota: %s\n",
                     static_cast<unsigned long long>(bytes), e.what());
    }
}

} // namespace BL::Server
