#include "platform/globalshortcutbackend.h"
#include "platform/logging.h"

// For window systems without a way to grab keys: the shortcuts stay inert.
namespace BL::Platform::GlobalShortcutBackend {

bool registerShortcut(CGlobalShortcut*, const QKeySequence& sequence)
{
    static bool warned = false;
    if (!warned) {
        warned = true;
        qCWarning(lcPlatform) << "global shortcuts are not supported here; ignoring" << sequence.toString();
    }
    return false;
}

void unregisterShortcut(CGlobalShortcut*, const QKeySequence&) {}

} // namespace BL::Platform::GlobalShortcutBackend
