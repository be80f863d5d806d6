#include "platform/backendfactories.h"

// Builds without a backend for any window system: every platform gets "null".
namespace BL::Platform {

std::vector<SWindowSystemFactory> windowSystemFactories()
{
    return {};
}

} // namespace BL::Platform
