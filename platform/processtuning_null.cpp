#include "platform/processtuning.h"

namespace BL::Platform {

void tuneProcessBeforeGui() {}

void releaseFreeMemory() {}

} // namespace BL::Platform
