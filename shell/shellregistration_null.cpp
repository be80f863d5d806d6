#include "shell/shellregistration.h"

namespace BL::Shell {
namespace {

// No file manager we know how to reach: the upload server runs without a menu entry.
class CNullRegistration : public CAbstractShellRegistration
{
public:
    void registerExtension() override {}
    void unregisterExtension() override {}
};

} // namespace

std::unique_ptr<CAbstractShellRegistration> createShellRegistration()
{
    return std::make_unique<CNullRegistration>();
}

} // namespace BL::Shell
