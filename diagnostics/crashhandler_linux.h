#pragma once

#include <string>
#include <vector>

// The fatal-signal handler of the program. Everything it needs at crash time is prepared here,
// so the handler itself only copies, forks the helper and waits: nothing allocates or locks in
// the crashed process.
namespace BL::Diagnostics {

// Catches SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an alternate stack. On a crash the
// helper program runs as `helperPath helperArgs...` with the crash packet on descriptor 3; when
// it is done, the process dies by its original signal. Replaces any earlier installation.
bool installCrashHandler(const std::string& helperPath, const std::vector<std::string>& helperArgs);

// Puts the signal dispositions back as they were before installCrashHandler.
void uninstallCrashHandler();

// The user name that goes with a report (UTF-8, cut to fit); empty for none. Called on one
// thread only.
void setCrashUserName(const std::string& name);

} // namespace BL::Diagnostics
