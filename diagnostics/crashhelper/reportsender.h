#pragma once

#include <string>
#include <utility>
#include <vector>

namespace BL::CrashHelper {

struct SSendOutcome
{
    int result = 0;         // an EReportResult
    std::string reportCode; // the service's reply text, or why nothing came back
};

// Posts the parameters and the dump file as multipart form data, the dump as
// "upload_file_minidump". Connecting may take `connectSeconds`, the whole exchange
// `totalSeconds`.
SSendOutcome sendCrashReport(const std::string& url,
                             const std::vector<std::pair<std::string, std::string>>& parameters,
                             const std::string& dumpPath, long connectSeconds, long totalSeconds);

} // namespace BL::CrashHelper
