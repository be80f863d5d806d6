#pragma once

#include <QString>

namespace BL::Platform {

// A text that tells users of this machine apart (the numeric uid on Unix,
// the account name on Windows); part of every per-user name we create.
QString currentUserId();

// A directory that only the current user can reach, for sockets and locks.
QString privateRuntimeDirectory();

} // namespace BL::Platform
