// brightloom-crash-helper: started by the crashed program's signal handler. Reads the crash
// packet from descriptor 3, writes a minidump of the stopped process into the dump directory,
// lets the process go and posts the report. Its lines go to the program's standard error.
#include "diagnostics/crashhelper/minidumpwriter_linux.h"
#include "diagnostics/crashhelper/processsnapshot_linux.h"
#include "diagnostics/crashhelper/reportsender.h"
#include "diagnostics/crashpacket_linux.h"
#include "diagnostics/crashreportresult.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace BL::CrashHelper;
using BL::Diagnostics::SCrashPacket;

namespace {

// The whole run is bounded: a helper that hangs must not keep the crashed program alive.
constexpr unsigned kDeadlineSeconds = 45;
constexpr long kConnectSeconds = 5;
constexpr long kSendSeconds = 30;

struct SOptions
{
    std::string dumpDir;
    std::string url;
    std::vector<std::pair<std::string, std::string>> parameters;
};

bool parseOptions(int argc, char** argv, SOptions* options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--dump-dir") {
            options->dumpDir = value;
        } else if (name == "--url") {
            options->url = value;
        } else if (name == "--param") {
            const std::size_t eq = value.find('=');
            if (eq == std::string::npos)
                return false;
            options->parameters.emplace_back(value.substr(0, eq), value.substr(eq + 1));
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

bool readPacket(SCrashPacket* packet)
{
    char* bytes = reinterpret_cast<char*>(packet);
    std::size_t got = 0;
    while (got < sizeof *packet) {
        const ssize_t n = ::read(BL::Diagnostics::kCrashPacketFd, bytes + got, sizeof *packet - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return packet->magic == BL::Diagnostics::kCrashPacketMagic && packet->size == sizeof *packet;
}

// A fresh identifier in the usual 8-4-4-4-12 form names each dump.
std::string newDumpId()
{
    unsigned char random[16] = {};
    std::ifstream source("/dev/urandom", std::ios::binary);
    source.read(reinterpret_cast<char*>(random), sizeof random);
    if (!source) {
        const unsigned long long seed = static_cast<unsigned long long>(std::time(nullptr)) ^ ::getpid();
        std::memcpy(random, &seed, sizeof seed);
    }
    random[6] = (random[6] & 0x0f) | 0x40;
    random[8] = (random[8] & 0x3f) | 0x80;
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  random[0], random[1], random[2], random[3], random[4], random[5], random[6], random[7],
                  random[8], random[9], random[10], random[11], random[12], random[13], random[14],
                  random[15]);
    return text;
}

// The crashing thread's registers as the fault left them, not as the handler has them now.
SThreadState crashingThread(const SCrashPacket& packet)
{
    SThreadState state;
    state.tid = packet.tid;
    const greg_t* g = packet.context.uc_mcontext.gregs;
    user_regs_struct& r = state.regs;
    r.r8 = g[REG_R8], r.r9 = g[REG_R9], r.r10 = g[REG_R10], r.r11 = g[REG_R11];
    r.r12 = g[REG_R12], r.r13 = g[REG_R13], r.r14 = g[REG_R14], r.r15 = g[REG_R15];
    r.rdi = g[REG_RDI], r.rsi = g[REG_RSI], r.rbp = g[REG_RBP], r.rbx = g[REG_RBX];
    r.rdx = g[REG_RDX], r.rax = g[REG_RAX], r.rcx = g[REG_RCX], r.rsp = g[REG_RSP];
    r.rip = g[REG_RIP], r.eflags = g[REG_EFL];
    r.cs = g[REG_CSGSFS] & 0xffff;
    r.gs = (g[REG_CSGSFS] >> 16) & 0xffff;
    r.fs = (g[REG_CSGSFS] >> 32) & 0xffff;
    if (packet.hasFpregs) {
        static_assert(sizeof(user_fpregs_struct) == sizeof(packet.fpregs), "both are the FXSAVE area");
        std::memcpy(&state.fpregs, &packet.fpregs, sizeof state.fpregs);
        state.hasFpregs = true;
    }
    return state;
}

bool writeFile(const std::string& path, const std::string& data)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == data.size() && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// How many reports went out today, kept beside the dumps.
void updateCheckpoint(const std::string& path)
{
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y-%m-%d", std::gmtime(&now));
    std::string day;
    long count = 0;
    std::ifstream(path) >> day >> count;
    count = day == today ? count + 1 : 1;
    std::ofstream(path, std::ios::trunc) << today << ' ' << count << '\n';
}

} // namespace

int main(int argc, char** argv)
{
    ::alarm(kDeadlineSeconds);
    SOptions options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "brightloom-crash-helper: started by the crash handler only\n");
        return 2;
    }
    SCrashPacket packet;
    if (!readPacket(&packet)) {
        std::fprintf(stderr, "brightloom-crash-helper: no crash to report\n");
        return 2;
    }
    packet.userName[sizeof packet.userName - 1] = '\0';

    const std::string dumpPath = options.dumpDir + "/" + newDumpId() + ".dmp";
    {
        CProcessReader reader(packet.pid);
        SProcessSnapshot snapshot = reader.snapshot(packet.tid);
        SThreadState crashed = crashingThread(packet);
        crashed.stack = reader.readStack(snapshot.mappings, crashed.regs.rsp);
        snapshot.threads.insert(snapshot.threads.begin(), crashed);
        const SCrashException exception{packet.tid, packet.signal, packet.info.si_code,
                                        reinterpret_cast<std::uint64_t>(packet.info.si_addr)};
        const std::string dump = writeMinidump(snapshot, exception);
        // The process may go on to die as soon as it is let go; the upload needs only the file.
        reader.releaseThreads();
        if (!writeFile(dumpPath, dump))
            std::fprintf(stderr, "Could not write the crash dump %s: %s\n", dumpPath.c_str(),
                         std::strerror(errno));
    }

    std::vector<std::pair<std::string, std::string>> parameters = options.parameters;
    if (packet.userName[0]) {
        std::fprintf(stderr, "Attaching user info to crash report: %s\n", packet.userName);
        parameters.emplace_back("email", packet.userName);
    } else {
        std::fprintf(stderr, "Not attaching user info to crash report because it's missing\n");
    }
    const SSendOutcome outcome =
        sendCrashReport(options.url, parameters, dumpPath, kConnectSeconds, kSendSeconds);
    if (outcome.result == RESULT_SUCCEEDED)
        updateCheckpoint(options.dumpDir + "/check.point");
    std::fprintf(stderr, "The result of a send of a Breakpad crash report: %s, the report code: %s\n",
                 reportResultName(outcome.result), outcome.reportCode.c_str());
    return 0;
}
