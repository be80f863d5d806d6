#include "platform/processtuning.h"

namespace BL::Platform {

void tuneProcessBeforeGui() {}

void releaseFreeMemory() {}

long long releaseLoaderPages()
{
    return 0;
}

} // namespace BL::Platform
