#pragma once

#include "server/object_store.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace BL::Server {

// Removes the objects of `store` that no row names and that are older than `minAgeMs`: what a
// crash between an object's store and its row's commit, a failed directory flush or a failed row
// insert left behind. Younger objects may belong to a request still running, on this node or
// another. The objects are listed first and `namedNow` read after, so a row that commits while
// the sweep runs is seen; ages are judged by the store's own clock, the one that stamped the
// objects, never this node's. `what` names the store in the log. Returns the number removed.
int sweepOrphans(CObjectStore& store, const std::string& what,
                 const std::function<std::set<std::string>()>& namedNow, std::int64_t minAgeMs);

// The same with names read just before the call: the store's clock is read before the listing,
// so an object counts as old only if it was already old when the names were read.
int sweepOrphans(CObjectStore& store, const std::string& what, const std::set<std::string>& named,
                 std::int64_t minAgeMs);

} // namespace BL::Server
