#include "diagnostics/crashreporter.h"

std::shared_ptr<CAbstractCrashReporter> createCrashReporter()
{
    // Real crash capture arrives with its own backend; until then reports are off.
    auto reporter = std::make_shared<CMockCrashReporter>();
    reporter->initialize(QString());
    return reporter;
}
