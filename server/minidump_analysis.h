#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace BL::Server {

struct SCrashFrame
{
    std::uint64_t address = 0;
    std::string module;       // empty when the address lies in no module
    std::uint64_t offset = 0; // from the module's base
    std::string symbol;       // "name+0x12" when the module's symbols are at hand
    std::string trust;        // "context" (from the registers) or "scan" (found on the stack)
};

struct SCrashSummary
{
    bool valid = false;
    std::string error;
    std::uint32_t signal = 0;
    std::uint64_t faultAddress = 0;
    std::uint32_t crashingThread = 0;
    std::vector<SCrashFrame> frames;
};

// Reads an x86-64 minidump from an untrusted client: every offset is checked. The crashing
// thread's frames are its instruction pointer and then the return addresses found by scanning
// its stack for addresses inside executable mappings of modules. Symbols come from ELF files
// named by build ID (lowercase hex) in `symbolsDir`, when there are any.
SCrashSummary analyseMinidump(const std::string& dump, const std::string& symbolsDir,
                              std::size_t maxFrames = 32);

} // namespace BL::Server
