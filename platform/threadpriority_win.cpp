#include "platform/threadpriority.h"

#include <windows.h>

namespace BL::Platform {

void lowerCurrentThreadPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

} // namespace BL::Platform
