#include "platform/backendfactories.h"
#include "platform/logging.h"

// For window systems without a way to grab keys: the shortcuts stay inert.
namespace BL::Platform {

namespace {

class CNullShortcutBackend final : public CAbstractShortcutBackend
{
public:
    bool registerShortcut(CGlobalShortcut*, const QKeySequence& sequence) override
    {
        if (!m_warned) {
            m_warned = true;
            qCWarning(lcPlatform) << "global shortcuts are not supported here; ignoring"
                                  << sequence.toString();
        }
        return false;
    }

    void unregisterShortcut(CGlobalShortcut*, const QKeySequence&) override {}

private:
    bool m_warned = false;
};

} // namespace

std::unique_ptr<CAbstractShortcutBackend> createNullShortcutBackend()
{
    return std::make_unique<CNullShortcutBackend>();
}

} // namespace BL::Platform
