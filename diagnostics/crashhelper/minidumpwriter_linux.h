#pragma once

#include "diagnostics/crashhelper/processsnapshot_linux.h"

#include <string>

namespace BL::CrashHelper {

// Where and why the process crashed.
struct SCrashException
{
    int tid = 0;
    int signal = 0;
    int code = 0;              // si_code
    std::uint64_t address = 0; // si_addr: the faulting address
};

// A standard minidump ("MDMP") of the snapshot for x86-64: system info, the exception, every
// thread with its context and stack, the stacks as a memory list, the module list with each
// module's build ID and the process's mappings.
std::string writeMinidump(const SProcessSnapshot& snapshot, const SCrashException& exception);

} // namespace BL::CrashHelper
