#include "platform/backendfactories.h"
#include "platform/globalshortcut.h"
#include "platform/logging.h"

// For window systems without a way to grab keys: the shortcuts stay inert.
namespace BL::Platform {

namespace {

class CNullShortcutBackend final : public CAbstractShortcutBackend
{
public:
    CGlobalShortcut::ERegistration registerShortcut(CGlobalShortcut*, const QKeySequence& sequence) override
    {
        if (!m_warned) {
            m_warned = true;
            qCWarning(lcPlatform) << "global shortcuts are not supported here; ignoring"
                                  << sequence.toString();
        }
        return CGlobalShortcut::Unsupported;
    }

    void unregisterShortcut(CGlobalShortcut*) override {}

private:
    bool m_warned = false;
};

} // namespace

std::unique_ptr<CAbstractShortcutBackend> createNullShortcutBackend()
{
    return std::make_unique<CNullShortcutBackend>();
}

} // namespace BL::Platform
