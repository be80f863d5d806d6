#include "diagnostics/softwareupdater_win.h"

#include "api/httprequest.h"
#include "diagnostics/productversion.h"

#include <QDebug>
#include <string>
#include <winsparkle.h>

QString defaultAppcastUrl()
{
    return QStringLiteral("https://") + BL::Api::serviceHost() + QStringLiteral("/desktop/updates/windows");
}

std::unique_ptr<CAbstractSoftwareUpdater> createSoftwareUpdater()
{
    return std::make_unique<CSparkleAutoupdaterWin>();
}

CSparkleAutoupdaterWin::CSparkleAutoupdaterWin() : CAbstractSoftwareUpdater(nullptr)
{
    win_sparkle_set_appcast_url(appcastUrl().toUtf8().constData());
    if (!initialized) {
        // The details only take effect after the library has started.
        win_sparkle_init();
        const std::wstring version = productVersion().toStdWString();
        win_sparkle_set_app_details(L"Mervox, LLC", L"Brightloom", version.c_str());
        const std::wstring build = QString::number(productBuildNumber()).toStdWString();
        win_sparkle_set_app_build_version(build.c_str());
        initialized = true;
    }
}

CSparkleAutoupdaterWin::~CSparkleAutoupdaterWin()
{
    if (initialized)
        win_sparkle_cleanup();
}

void CSparkleAutoupdaterWin::checkInBackground()
{
    qDebug() << "Auto-updater: Checking for new application version in the background";
    win_sparkle_check_update_without_ui();
}

void CSparkleAutoupdaterWin::checkWithUi()
{
    qDebug() << "Auto-updater: Checking for new application version with user confirmation";
    win_sparkle_check_update_with_ui();
}

bool CSparkleAutoupdaterWin::automaticChecksEnabled() const
{
    return win_sparkle_get_automatic_check_for_updates() == 1;
}

void CSparkleAutoupdaterWin::setAutomaticChecksEnabled(bool enabled)
{
    win_sparkle_set_automatic_check_for_updates(enabled ? 1 : 0);
}
