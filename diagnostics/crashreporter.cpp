#include "diagnostics/crashreporter.h"

#include "api/user.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/paths.h"
#include "diagnostics/productversion.h"

#include <QDebug>

#ifndef BL_CRASH_REPORT_URL
#error "BL_CRASH_REPORT_URL must be defined by the build"
#endif
#ifndef BL_BUILD_HOST_USER
#error "BL_BUILD_HOST_USER must be defined by the build"
#endif
#ifndef BL_OS_TYPE
#error "BL_OS_TYPE must be defined by the build"
#endif

std::shared_ptr<CAbstractCrashReporter> createCrashReporter()
{
    std::shared_ptr<CAbstractCrashReporter> reporter;
    if (qgetenv("BL_DISABLE_BREAKPAD").toLower() == "yes")
        reporter = std::make_shared<CMockCrashReporter>();
    else
        reporter = createPlatformCrashReporter();
    const QString url = qEnvironmentVariableIsSet("BL_BREAKPAD_URL") ? qEnvironmentVariable("BL_BREAKPAD_URL")
                                                                     : defaultCrashReportUrl();
    reporter->initialize(url);
    return reporter;
}

QString defaultCrashReportUrl()
{
    return QStringLiteral(BL_CRASH_REPORT_URL);
}

QVector<QPair<QString, QString>> crashReportParameters()
{
    return {{QStringLiteral("os_type"), QStringLiteral(BL_OS_TYPE)},
            {QStringLiteral("build_host_user"), QStringLiteral(BL_BUILD_HOST_USER)},
            {QStringLiteral("ver"), productVersion()}};
}

QString crashReportUserName(const CUser* user)
{
    return user && user->isSignedIn() ? user->userInfo().userName : QString();
}

QString prepareMinidumpDirectory()
{
    const QString directory = minidumpDirectory();
    try {
        ensureDirectoryExists(directory);
    } catch (const BL::Exceptions::CCreateDirectoryException& e) {
        qDebug().noquote()
            << QStringLiteral("Could not create the minidump directory, the crash reports won't be sent.\n"
                              "Error: %1")
                   .arg(e.message());
    }
    return directory;
}
