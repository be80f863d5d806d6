#include "diagnostics/crashhelper/minidumpwriter_linux.h"

#include <cpuid.h>
#include <cstring>
#include <ctime>
#include <sys/utsname.h>
#include <unistd.h>

namespace BL::CrashHelper {

namespace {

// Stream types and constants of the minidump format.
constexpr std::uint32_t kSignature = 0x504d444d; // "MDMP"
constexpr std::uint32_t kVersion = 0xa793;
constexpr std::uint32_t kThreadListStream = 3;
constexpr std::uint32_t kModuleListStream = 4;
constexpr std::uint32_t kMemoryListStream = 5;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::uint32_t kSystemInfoStream = 7;
constexpr std::uint32_t kMiscInfoStream = 15;
constexpr std::uint32_t kLinuxMapsStream = 0x47670009;
constexpr std::uint16_t kCpuAmd64 = 9;
constexpr std::uint32_t kPlatformLinux = 0x8201;
constexpr std::uint32_t kContextAmd64Full = 0x0010000f; // control, integer, segments, floating point
constexpr std::uint32_t kCvSignatureElf = 0x4c457042;   // "BpEL": ELF build ID record
constexpr std::size_t kContextSize = 1232;
constexpr std::size_t kThreadSize = 48;
constexpr std::size_t kModuleSize = 108;

struct SLocation
{
    std::uint32_t size = 0;
    std::uint32_t rva = 0;
};

// The file under construction: little-endian fields appended or patched in place.
class CDumpBuffer
{
public:
    std::uint32_t size() const { return static_cast<std::uint32_t>(m_data.size()); }
    std::uint32_t reserve(std::size_t bytes)
    {
        align();
        const std::uint32_t at = size();
        m_data.append(bytes, '\0');
        return at;
    }
    void align()
    {
        while (m_data.size() % 8)
            m_data.push_back('\0');
    }
    template<typename T> void put(std::uint32_t at, T value)
    {
        std::memcpy(&m_data[at], &value, sizeof value);
    }
    void putBytes(std::uint32_t at, const void* bytes, std::size_t size)
    {
        std::memcpy(&m_data[at], bytes, size);
    }
    void putLocation(std::uint32_t at, SLocation location)
    {
        put(at, location.size);
        put(at + 4, location.rva);
    }
    SLocation appendBytes(const void* bytes, std::size_t size)
    {
        const std::uint32_t at = reserve(size);
        if (size)
            putBytes(at, bytes, size);
        return {static_cast<std::uint32_t>(size), at};
    }
    // A length-prefixed UTF-16 string; the length counts bytes without the terminator.
    std::uint32_t appendString(const std::string& utf8)
    {
        std::u16string text;
        for (std::size_t i = 0; i < utf8.size();) {
            const unsigned char c = static_cast<unsigned char>(utf8[i]);
            char32_t code = c;
            int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
            if (extra)
                code = c & (0x3f >> extra);
            ++i;
            for (; extra > 0 && i < utf8.size(); --extra, ++i)
                code = (code << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3f);
            if (code >= 0x10000) {
                code -= 0x10000;
                text.push_back(static_cast<char16_t>(0xd800 + (code >> 10)));
                text.push_back(static_cast<char16_t>(0xdc00 + (code & 0x3ff)));
            } else {
                text.push_back(static_cast<char16_t>(code));
            }
        }
        const std::uint32_t bytes = static_cast<std::uint32_t>(text.size() * 2);
        const std::uint32_t at = reserve(4 + bytes + 2);
        put(at, bytes);
        putBytes(at + 4, text.data(), bytes);
        return at;
    }
    std::string take() { return std::move(m_data); }

private:
    std::string m_data;
};

// Windows' CONTEXT layout for x86-64, which every minidump reader expects.
SLocation appendContext(CDumpBuffer& dump, const user_regs_struct& r, const void* fxsave, bool hasFxsave)
{
    const std::uint32_t at = dump.reserve(kContextSize);
    dump.put<std::uint32_t>(at + 48, kContextAmd64Full);
    dump.put<std::uint16_t>(at + 56, static_cast<std::uint16_t>(r.cs));
    dump.put<std::uint16_t>(at + 58, static_cast<std::uint16_t>(r.ds));
    dump.put<std::uint16_t>(at + 60, static_cast<std::uint16_t>(r.es));
    dump.put<std::uint16_t>(at + 62, static_cast<std::uint16_t>(r.fs));
    dump.put<std::uint16_t>(at + 64, static_cast<std::uint16_t>(r.gs));
    dump.put<std::uint16_t>(at + 66, static_cast<std::uint16_t>(r.ss));
    dump.put<std::uint32_t>(at + 68, static_cast<std::uint32_t>(r.eflags));
    const unsigned long long gprs[16] = {r.rax, r.rcx, r.rdx, r.rbx, r.rsp, r.rbp, r.rsi, r.rdi,
                                         r.r8,  r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15};
    for (int i = 0; i < 16; ++i)
        dump.put<std::uint64_t>(at + 120 + 8 * i, gprs[i]);
    dump.put<std::uint64_t>(at + 248, r.rip);
    if (hasFxsave) {
        dump.putBytes(at + 256, fxsave, 512);
        std::uint32_t mxcsr = 0;
        std::memcpy(&mxcsr, static_cast<const char*>(fxsave) + 24, sizeof mxcsr);
        dump.put<std::uint32_t>(at + 52, mxcsr);
    }
    return {static_cast<std::uint32_t>(kContextSize), at};
}

SLocation appendSystemInfo(CDumpBuffer& dump)
{
    const std::uint32_t at = dump.reserve(56);
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __get_cpuid(0, &eax, &ebx, &ecx, &edx);
    const std::uint32_t vendor[3] = {ebx, edx, ecx};
    unsigned version = 0, features = 0;
    __get_cpuid(1, &version, &ebx, &ecx, &features);
    const unsigned family =
        ((version >> 8) & 0xf) + (((version >> 8) & 0xf) == 0xf ? (version >> 20) & 0xff : 0);
    const unsigned model = ((version >> 4) & 0xf) | (((version >> 16) & 0xf) << 4);
    dump.put<std::uint16_t>(at, kCpuAmd64);
    dump.put<std::uint16_t>(at + 2, static_cast<std::uint16_t>(family));
    dump.put<std::uint16_t>(at + 4, static_cast<std::uint16_t>((model << 8) | (version & 0xf)));
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    dump.put<std::uint8_t>(at + 6, static_cast<std::uint8_t>(cpus > 0 && cpus < 256 ? cpus : 0));
    utsname names{};
    ::uname(&names);
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
    dump.put<std::uint32_t>(at + 8, major);
    dump.put<std::uint32_t>(at + 12, minor);
    dump.put<std::uint32_t>(at + 16, build);
    dump.put<std::uint32_t>(at + 20, kPlatformLinux);
    dump.putBytes(at + 32, vendor, sizeof vendor);
    dump.put<std::uint32_t>(at + 44, version);
    dump.put<std::uint32_t>(at + 48, features);
    const std::string description =
        std::string(names.sysname) + ' ' + names.release + ' ' + names.version + ' ' + names.machine;
    const std::uint32_t csd = dump.appendString(description);
    dump.put<std::uint32_t>(at + 24, csd);
    return {56, at};
}

SLocation appendModuleList(CDumpBuffer& dump, const std::vector<SModule>& modules)
{
    const std::uint32_t at = dump.reserve(4 + kModuleSize * modules.size());
    dump.put<std::uint32_t>(at, static_cast<std::uint32_t>(modules.size()));
    for (std::size_t i = 0; i < modules.size(); ++i) {
        const SModule& module = modules[i];
        const std::uint32_t entry = at + 4 + static_cast<std::uint32_t>(kModuleSize * i);
        dump.put<std::uint64_t>(entry, module.base);
        dump.put<std::uint32_t>(entry + 8, static_cast<std::uint32_t>(module.size));
        dump.put<std::uint32_t>(entry + 20, dump.appendString(module.path));
        dump.put<std::uint32_t>(entry + 24, 0xfeef04bd); // version info signature, no version
        if (!module.buildId.empty()) {
            std::string record(4, '\0');
            std::memcpy(record.data(), &kCvSignatureElf, 4);
            record += module.buildId;
            dump.putLocation(entry + 76, dump.appendBytes(record.data(), record.size()));
        }
    }
    return {static_cast<std::uint32_t>(4 + kModuleSize * modules.size()), at};
}

} // namespace

std::string writeMinidump(const SProcessSnapshot& snapshot, const SCrashException& exception)
{
    CDumpBuffer dump;
    constexpr std::uint32_t kStreams = 7;
    const std::uint32_t header = dump.reserve(32);
    const std::uint32_t directory = dump.reserve(12 * kStreams);
    dump.put<std::uint32_t>(header, kSignature);
    dump.put<std::uint32_t>(header + 4, kVersion);
    dump.put<std::uint32_t>(header + 8, kStreams);
    dump.put<std::uint32_t>(header + 12, directory);
    dump.put<std::uint32_t>(header + 20, static_cast<std::uint32_t>(std::time(nullptr)));
    auto addStream = [&](std::uint32_t index, std::uint32_t type, SLocation location) {
        dump.put<std::uint32_t>(directory + 12 * index, type);
        dump.putLocation(directory + 12 * index + 4, location);
    };

    addStream(0, kSystemInfoStream, appendSystemInfo(dump));

    // Threads: the entries first, then each one's stack and context.
    const std::size_t count = snapshot.threads.size();
    const std::uint32_t threads = dump.reserve(4 + kThreadSize * count);
    dump.put<std::uint32_t>(threads, static_cast<std::uint32_t>(count));
    std::vector<std::pair<std::uint64_t, SLocation>> stacks;
    SLocation crashContext;
    for (std::size_t i = 0; i < count; ++i) {
        const SThreadState& thread = snapshot.threads[i];
        const std::uint32_t entry = threads + 4 + static_cast<std::uint32_t>(kThreadSize * i);
        dump.put<std::uint32_t>(entry, static_cast<std::uint32_t>(thread.tid));
        const SLocation stack = dump.appendBytes(thread.stack.bytes.data(), thread.stack.bytes.size());
        dump.put<std::uint64_t>(entry + 24, thread.stack.start);
        dump.putLocation(entry + 32, stack);
        if (!thread.stack.bytes.empty())
            stacks.emplace_back(thread.stack.start, stack);
        const SLocation context = appendContext(dump, thread.regs, &thread.fpregs, thread.hasFpregs);
        dump.putLocation(entry + 40, context);
        if (thread.tid == exception.tid)
            crashContext = context;
    }
    addStream(1, kThreadListStream, {static_cast<std::uint32_t>(4 + kThreadSize * count), threads});

    // The stacks once more as the memory list, pointing at the same bytes.
    const std::uint32_t memory = dump.reserve(4 + 16 * stacks.size());
    dump.put<std::uint32_t>(memory, static_cast<std::uint32_t>(stacks.size()));
    for (std::size_t i = 0; i < stacks.size(); ++i) {
        dump.put<std::uint64_t>(memory + 4 + 16 * static_cast<std::uint32_t>(i), stacks[i].first);
        dump.putLocation(memory + 4 + 16 * static_cast<std::uint32_t>(i) + 8, stacks[i].second);
    }
    addStream(2, kMemoryListStream, {static_cast<std::uint32_t>(4 + 16 * stacks.size()), memory});

    // The exception: the signal as the code, si_code as the flags, the faulting address.
    const std::uint32_t record = dump.reserve(168);
    dump.put<std::uint32_t>(record, static_cast<std::uint32_t>(exception.tid));
    dump.put<std::uint32_t>(record + 8, static_cast<std::uint32_t>(exception.signal));
    dump.put<std::uint32_t>(record + 12, static_cast<std::uint32_t>(exception.code));
    dump.put<std::uint64_t>(record + 24, exception.address);
    dump.putLocation(record + 160, crashContext);
    addStream(3, kExceptionStream, {168, record});

    addStream(4, kModuleListStream, appendModuleList(dump, snapshot.modules));
    addStream(5, kLinuxMapsStream, dump.appendBytes(snapshot.mapsText.data(), snapshot.mapsText.size()));

    // The process id, which readers otherwise have to guess.
    const std::uint32_t misc = dump.reserve(24);
    dump.put<std::uint32_t>(misc, 24);
    dump.put<std::uint32_t>(misc + 4, 1); // the process id is valid
    dump.put<std::uint32_t>(misc + 8, static_cast<std::uint32_t>(snapshot.pid));
    addStream(6, kMiscInfoStream, {24, misc});
    return dump.take();
}

} // namespace BL::CrashHelper
