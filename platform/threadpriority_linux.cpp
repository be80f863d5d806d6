#include "platform/logging.h"
#include "platform/threadpriority.h"

#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace BL::Platform {

namespace {

// A tenth of the share of a normal thread when the processor is contended; all of it when not.
constexpr int kBackgroundNice = 10;

} // namespace

void lowerCurrentThreadPriority()
{
    // On Linux the nice value belongs to the thread named by its id, not to the process.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    if (::getpriority(PRIO_PROCESS, tid) >= kBackgroundNice)
        return;
    if (::setpriority(PRIO_PROCESS, tid, kBackgroundNice) != 0)
        qCDebug(lcPlatform) << "could not lower a worker's priority:" << std::strerror(errno);
}

} // namespace BL::Platform
