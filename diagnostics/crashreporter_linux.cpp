#include "api/user.h"
#include "diagnostics/crashhandler_linux.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QPointer>

#ifndef BL_CRASH_HELPER_BUILD_PATH
#error "BL_CRASH_HELPER_BUILD_PATH must be defined by the build"
#endif

namespace {

// Read by the crash helper's command line, written on the GUI thread before any crash.
QString reportUrl;
QString reportUserName;
// The reporter whose handler is installed: only its end removes the handler.
const void* installedBy = nullptr;

// The helper lies beside the program once installed; a program run from the build tree finds
// it where the build put it.
QString crashHelperPath()
{
    const QString beside =
        QCoreApplication::applicationDirPath() + QStringLiteral("/brightloom-crash-helper");
    if (!QCoreApplication::applicationDirPath().isEmpty() && QFileInfo(beside).isExecutable())
        return beside;
    return QStringLiteral(BL_CRASH_HELPER_BUILD_PATH);
}

void followUserName(const QString& name)
{
    reportUserName = name;
    BL::Diagnostics::setCrashUserName(name.toStdString());
}

// Writes a minidump through the crash helper and posts it with the report parameters.
class CCrashReporter_Linux final : public CAbstractCrashReporter
{
public:
    ~CCrashReporter_Linux() override
    {
        if (installedBy != this)
            return;
        BL::Diagnostics::uninstallCrashHandler();
        installedBy = nullptr;
    }

    void initialize(const QString& url) override
    {
        reportUrl = url;
        const QString directory = prepareMinidumpDirectory();
        const QString helper = crashHelperPath();
        if (!QFileInfo(helper).isExecutable())
            qCWarning(lcDiagnostics).noquote()
                << QStringLiteral("Crash helper %1 is missing: crashes will not be reported").arg(helper);
        std::vector<std::string> args = {"--dump-dir", directory.toStdString(), "--url",
                                         reportUrl.toStdString()};
        for (const auto& parameter : crashReportParameters()) {
            args.push_back("--param");
            args.push_back(QString(parameter.first + QLatin1Char('=') + parameter.second).toStdString());
        }
        // The handler is installed even without a usable directory: the helper's failure then
        // shows in its log line.
        if (!BL::Diagnostics::installCrashHandler(helper.toStdString(), args))
            qCWarning(lcDiagnostics) << "Could not install every crash signal handler";
        installedBy = this;
        BL::Diagnostics::setCrashUserName(reportUserName.toStdString());
    }

    QString crashReportUrl() const override { return reportUrl; }

    void setUser(CUser* user) override
    {
        if (!user)
            return;
        followUserName(crashReportUserName(user));
        // Called on every status update: one connection per user record is enough.
        if (m_followed == user)
            return;
        disconnect(m_following);
        m_followed = user;
        m_following = connect(user, &CUser::userInfoChanged, this,
                              [user] { followUserName(crashReportUserName(user)); });
    }

private:
    QPointer<CUser> m_followed;
    QMetaObject::Connection m_following;
};

} // namespace

std::shared_ptr<CAbstractCrashReporter> createPlatformCrashReporter()
{
    return std::make_shared<CCrashReporter_Linux>();
}
