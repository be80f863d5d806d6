#pragma once

#include <cstdint>
#include <string>
#include <sys/user.h>
#include <vector>

// What the crash helper gathers from the stopped, crashed process: its threads with their
// registers and stacks, its mappings and its modules. Plain C++: the helper has no Qt.
namespace BL::CrashHelper {

struct SMemoryBlock
{
    std::uint64_t start = 0;
    std::string bytes;
};

struct SThreadState
{
    int tid = 0;
    user_regs_struct regs{};
    user_fpregs_struct fpregs{};
    bool hasFpregs = false;
    SMemoryBlock stack;
};

struct SMapping
{
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t offset = 0;
    std::string permissions;
    std::uint64_t inode = 0;
    std::string path;
};

struct SModule
{
    std::uint64_t base = 0;
    std::uint64_t size = 0;
    std::string path;
    std::string buildId; // raw bytes of the GNU build ID note; empty when it has none
};

struct SProcessSnapshot
{
    int pid = 0;
    std::vector<SThreadState> threads;
    std::vector<SMapping> mappings;
    std::string mapsText;
    std::vector<SModule> modules;
};

// Stops every thread of `pid` but `skipTid` (whose state the caller knows better) with ptrace,
// reads registers, stacks and mappings. Threads that cannot be stopped are left out.
class CProcessReader
{
public:
    explicit CProcessReader(int pid);
    ~CProcessReader(); // lets every stopped thread go
    CProcessReader(const CProcessReader&) = delete;
    CProcessReader& operator=(const CProcessReader&) = delete;

    SProcessSnapshot snapshot(int skipTid);
    // The stack of a thread whose stack pointer is `sp`: from just below it (the red zone) to
    // the end of its mapping, at most 64 KiB.
    SMemoryBlock readStack(const std::vector<SMapping>& mappings, std::uint64_t sp);
    bool read(std::uint64_t address, void* out, std::size_t size);
    void releaseThreads();

private:
    bool stopThread(int tid);
    std::vector<SModule> modulesOf(const std::vector<SMapping>& mappings);
    std::string buildIdAt(std::uint64_t base);

    int m_pid;
    std::vector<int> m_stopped;
};

std::vector<SMapping> parseMaps(const std::string& text);

} // namespace BL::CrashHelper
