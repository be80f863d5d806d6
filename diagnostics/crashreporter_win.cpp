#include "api/user.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/crashreportresult.h"
#include "diagnostics/paths.h"

#include <QDebug>
#include <QPointer>
#include <client/windows/handler/exception_handler.h>
#include <client/windows/sender/crash_report_sender.h>
#include <map>
#include <memory>
#include <string>

namespace {

// Read by the minidump callback, written on the GUI thread before any crash.
QString reportUrl;
QString reportUserName;

bool alwaysDump(void*, EXCEPTION_POINTERS*, MDRawAssertionInfo*)
{
    return true;
}

bool onMinidumpWritten(const wchar_t* dumpPath, const wchar_t* minidumpId, void*, EXCEPTION_POINTERS*,
                       MDRawAssertionInfo*, bool)
{
    const QString directory = QString::fromWCharArray(dumpPath);
    google_breakpad::CrashReportSender sender(
        QStringLiteral("%1/check.point").arg(minidumpDirectory()).toStdWString());
    std::map<std::wstring, std::wstring> parameters;
    for (const auto& parameter : crashReportParameters())
        parameters[parameter.first.toStdWString()] = parameter.second.toStdWString();
    if (!reportUserName.isEmpty()) {
        qDebug().noquote() << QStringLiteral("Attaching user info to crash report: ") + reportUserName;
        parameters[L"email"] = reportUserName.toStdWString();
    } else {
        qDebug().noquote() << QStringLiteral("Not attaching user info to crash report because it's missing");
    }
    // A QString of its own: string builders have no toStdWString.
    const QString dumpFilePath =
        directory + QLatin1Char('/') + QString::fromWCharArray(minidumpId) + QStringLiteral(".dmp");
    const std::wstring dumpFile = dumpFilePath.toStdWString();
    std::wstring reportCode;
    const google_breakpad::ReportResult result =
        sender.SendCrashReport(reportUrl.toStdWString(), parameters, dumpFile, &reportCode);
    qDebug().noquote() << QStringLiteral(
                              "The result of a send of a Breakpad crash report: %1, the report code: %2")
                              .arg(QLatin1String(reportResultName(result)),
                                   QString::fromStdWString(reportCode));
    // Not handled: the system's own crash handling ends the process.
    return false;
}

// Breakpad writes the dump in process and posts it from the crash callback.
class CBreakpadCrashReporter_Win final : public CAbstractCrashReporter
{
public:
    void initialize(const QString& url) override
    {
        reportUrl = url;
        prepareMinidumpDirectory();
        exceptionHandler = std::make_shared<google_breakpad::ExceptionHandler>(
            minidumpDirectory().toStdWString(), alwaysDump, onMinidumpWritten, this,
            google_breakpad::ExceptionHandler::HANDLER_ALL, MiniDumpNormal, L"", nullptr);
    }

    QString crashReportUrl() const override { return reportUrl; }

    void setUser(CUser* user) override
    {
        if (!user)
            return;
        reportUserName = crashReportUserName(user);
        // Called on every status update: one connection per user record is enough.
        if (m_followed == user)
            return;
        disconnect(m_following);
        m_followed = user;
        m_following = connect(user, &CUser::userInfoChanged, this,
                              [user] { reportUserName = crashReportUserName(user); });
    }

private:
    QPointer<CUser> m_followed;
    QMetaObject::Connection m_following;
    std::shared_ptr<google_breakpad::ExceptionHandler> exceptionHandler;
};

} // namespace

std::shared_ptr<CAbstractCrashReporter> createPlatformCrashReporter()
{
    return std::make_shared<CBreakpadCrashReporter_Win>();
}
