#pragma once

#include <string>
#include <vector>

namespace BL::Server {

class CDiskQuota;
class CObjectStore;

// Removes the files of pictures whose rows are gone and gives their bytes back to the quota.
// Called after the rows' commit: a crash in between leaves files no row names, which the orphan
// sweep removes at the next start.
void removeStoredFiles(CObjectStore& store, CDiskQuota& quota, const std::vector<std::string>& names);

} // namespace BL::Server
