#include "diagnostics/softwareupdater.h"

std::unique_ptr<CAbstractSoftwareUpdater> createSoftwareUpdater()
{
    return std::make_unique<CDumbSoftwareUpdater>();
}
