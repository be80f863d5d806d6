#include "platform/mapexposure.h"

namespace BL::Platform {

void skipExposuresOfMapping(QWindow*) {}

} // namespace BL::Platform
