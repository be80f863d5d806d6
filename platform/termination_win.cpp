#include "platform/backendfactories.h"

namespace BL::Platform {

namespace {

// Windows ends a GUI program through its windows' messages, which Qt turns into a quit already.
class CWinTermination final : public CAbstractTermination
{
public:
    void quitOnTerminationRequest() override {}
};

} // namespace

std::unique_ptr<CAbstractTermination> createSystemTermination()
{
    return std::make_unique<CWinTermination>();
}

} // namespace BL::Platform
