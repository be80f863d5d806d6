#include "api/httprequest.h"
#include "diagnostics/appcastupdater.h"
#include "diagnostics/productversion.h"

QString defaultAppcastUrl()
{
    // The feed lives on the service the program already uploads to.
    return BL::Api::serviceBaseUrl() + QStringLiteral("/desktop/updates/linux");
}

std::unique_ptr<CAbstractSoftwareUpdater> createSoftwareUpdater()
{
    return std::make_unique<CAppcastUpdater>(appcastUrl(), QString::number(productBuildNumber()));
}
