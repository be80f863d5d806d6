#include "platform/termination.h"

namespace BL::Platform {

// Windows ends a GUI program through its windows' messages, which Qt turns into a quit already.
void quitOnTerminationRequest() {}

} // namespace BL::Platform
