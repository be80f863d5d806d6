#pragma once

#include "server/object_store.h"

#include <cstdint>
#include <set>
#include <string>

namespace BL::Server {

// Removes the objects of `store` that no row names and that are older than `minAgeMs`: what a
// crash between an object's store and its row's commit, a failed directory flush or a failed row
// insert left behind. Younger objects may belong to a request still running, on this node or
// another. `what` names the store in the log. Returns the number removed.
int sweepOrphans(CObjectStore& store, const std::string& what, const std::set<std::string>& named,
                 std::int64_t minAgeMs);

} // namespace BL::Server
