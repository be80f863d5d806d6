#include "diagnostics/crashreporter.h"

// No crash capture on this platform: reports are off, whatever the environment says.
std::shared_ptr<CAbstractCrashReporter> createPlatformCrashReporter()
{
    return std::make_shared<CMockCrashReporter>();
}
