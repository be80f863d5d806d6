#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace BL::Server {

// Removes the files of `dir` that no row names and that are older than `minAgeMs`: what a crash
// between a file's rename and its row's commit, a failed directory flush or a failed row insert
// left behind. Younger files may belong to a request still running. Hidden files (temporaries)
// are left to the directory's own clean-up. Returns the number removed.
int sweepOrphans(const std::string& dir, const std::set<std::string>& named, std::int64_t minAgeMs);

} // namespace BL::Server
