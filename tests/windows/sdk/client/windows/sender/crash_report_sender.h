#pragma once

// The report sender of Breakpad's Windows client as the crash callback calls it. Never linked.
#include <map>
#include <string>

namespace google_breakpad {

enum ReportResult { RESULT_FAILED = 0, RESULT_REJECTED, RESULT_SUCCEEDED, RESULT_THROTTLED };

class CrashReportSender
{
public:
    explicit CrashReportSender(const std::wstring& checkpointFile);

    ReportResult SendCrashReport(const std::wstring& url,
                                 const std::map<std::wstring, std::wstring>& parameters,
                                 const std::wstring& dumpFileName, std::wstring* reportCode);

    CrashReportSender(const CrashReportSender&) = delete;
    CrashReportSender& operator=(const CrashReportSender&) = delete;
};

} // namespace google_breakpad
