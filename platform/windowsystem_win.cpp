#include "platform/backendfactories.h"

// Windows: hotkeys through RegisterHotKey; screen grabs take Qt's own path.
namespace BL::Platform {

std::vector<SWindowSystemFactory> windowSystemFactories()
{
    return {{"windows", createWinShortcutBackend, createNullScreenGrabber}};
}

} // namespace BL::Platform
