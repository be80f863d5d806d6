#include "platform/threadpriority.h"

namespace BL::Platform {

void lowerCurrentThreadPriority() {}

} // namespace BL::Platform
