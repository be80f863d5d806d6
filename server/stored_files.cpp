#include "server/stored_files.h"

#include "server/disk_quota.h"
#include "server/object_store.h"

#include <cstdio>
#include <exception>

namespace BL::Server {

void removeStoredFiles(CObjectStore& store, CDiskQuota& quota, const std::vector<std::string>& names)
{
    std::uint64_t bytes = 0;
    for (const std::string& name : names) {
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
