#include "platform/backendfactories.h"

// No fast path: a null image sends the caller to Qt's own grab.
namespace BL::Platform {

namespace {

class CNullScreenGrabber final : public CAbstractScreenGrabber
{
public:
    QImage grab(const QRect&) override { return QImage(); }
    void releaseBuffers() override {}
};

} // namespace

std::unique_ptr<CAbstractScreenGrabber> createNullScreenGrabber()
{
    return std::make_unique<CNullScreenGrabber>();
}

} // namespace BL::Platform
