#pragma once

// The outcome of one report upload, as the log line names it. Shared by the program and the
// crash helper, which has no Qt.
enum EReportResult { RESULT_FAILED = 0, RESULT_REJECTED = 1, RESULT_SUCCEEDED = 2, RESULT_THROTTLED = 3 };

inline const char* reportResultName(int result)
{
    switch (result) {
    case RESULT_FAILED:
        return "RESULT_FAILED";
    case RESULT_REJECTED:
        return "RESULT_REJECTED";
    case RESULT_SUCCEEDED:
        return "RESULT_SUCCEEDED";
    case RESULT_THROTTLED:
        return "RESULT_THROTTLED";
    default:
        return "Unknown";
    }
}
