#include "server/minidump_analysis.h"

#include "server/elf_symbols.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

namespace BL::Server {

namespace {

constexpr std::uint32_t kThreadList = 3, kModuleList = 4, kException = 6, kLinuxMaps = 0x47670009;
constexpr std::uint32_t kElfBuildIdRecord = 0x4c457042; // "BpEL"

// Bounds-checked little-endian reads of the untrusted file; a failed read marks it broken.
class CReader
{
public:
    explicit CReader(const std::string& data) : m_data(data) {}
    template<typename T> T at(std::uint64_t offset)
    {
        T value{};
        if (offset > m_data.size() || m_data.size() - offset < sizeof(T))
            m_ok = false;
        else
            std::memcpy(&value, m_data.data() + offset, sizeof(T));
        return value;
    }
    std::string bytes(std::uint64_t offset, std::uint64_t size)
    {
        if (offset > m_data.size() || m_data.size() - offset < size) {
            m_ok = false;
            return {};
        }
        return m_data.substr(offset, size);
    }
    // A length-prefixed UTF-16 string, kept to ASCII-compatible text.
    std::string text(std::uint32_t rva)
    {
        const std::uint32_t size = at<std::uint32_t>(rva);
        const std::string raw = bytes(std::uint64_t(rva) + 4, std::min<std::uint32_t>(size, 8192));
        std::string out;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
            const unsigned code =
                static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8);
            out.push_back(code >= 0x20 && code < 0x7f ? static_cast<char>(code) : '?');
        }
        return out;
    }
    bool ok() const { return m_ok; }

private:
    const std::string& m_data;
    bool m_ok = true;
};

struct SModuleInfo
{
    std::uint64_t base = 0;
    std::uint64_t size = 0;
    std::string name;
    std::string buildId;
};

struct SRange
{
    std::uint64_t start, end;
};

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::vector<SRange> executableRanges(const std::string& maps)
{
    std::vector<SRange> ranges;
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long long start = 0, end = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %7s", &start, &end, perms) == 3 && std::strchr(perms, 'x'))
            ranges.push_back({start, end});
    }
    // Sorted and merged, so that each stack word is looked up by bisection: a hostile dump with
    // a long stack and thousands of mappings costs their sum, not their product.
    std::sort(ranges.begin(), ranges.end(),
              [](const SRange& a, const SRange& b) { return a.start < b.start; });
    std::vector<SRange> merged;
    for (const SRange& range : ranges) {
        if (range.end <= range.start)
            continue;
        if (!merged.empty() && range.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, range.end);
        else
            merged.push_back(range);
    }
    return merged;
}

bool inRanges(const std::vector<SRange>& ranges, std::uint64_t address)
{
    const auto after =
        std::upper_bound(ranges.begin(), ranges.end(), address,
                         [](std::uint64_t value, const SRange& range) { return value < range.start; });
    return after != ranges.begin() && address < std::prev(after)->end;
}

} // namespace

SCrashSummary analyseMinidump(const std::string& dump, const std::string& symbolsDir, std::size_t maxFrames)
{
    SCrashSummary summary;
    CReader r(dump);
    if (r.at<std::uint32_t>(0) != 0x504d444d) {
        summary.error = "not a minidump";
        return summary;
    }
    const std::uint32_t streams = std::min<std::uint32_t>(r.at<std::uint32_t>(8), 1024);
    const std::uint32_t directory = r.at<std::uint32_t>(12);
    std::uint32_t threadList = 0, moduleList = 0, exception = 0;
    std::string maps;
    for (std::uint32_t i = 0; i < streams && r.ok(); ++i) {
        const std::uint64_t entry = directory + 12ull * i;
        const std::uint32_t type = r.at<std::uint32_t>(entry);
        const std::uint32_t size = r.at<std::uint32_t>(entry + 4);
        const std::uint32_t rva = r.at<std::uint32_t>(entry + 8);
        if (type == kThreadList)
            threadList = rva;
        else if (type == kModuleList)
            moduleList = rva;
        else if (type == kException)
            exception = rva;
        else if (type == kLinuxMaps)
            maps = r.bytes(rva, size);
    }
    if (!exception || !threadList || !r.ok()) {
        summary.error = "no exception or thread list";
        return summary;
    }
    summary.crashingThread = r.at<std::uint32_t>(exception);
    summary.signal = r.at<std::uint32_t>(exception + 8);
    summary.faultAddress = r.at<std::uint64_t>(exception + 24);

    std::vector<SModuleInfo> modules;
    const std::uint32_t moduleCount =
        moduleList ? std::min<std::uint32_t>(r.at<std::uint32_t>(moduleList), 4096) : 0;
    for (std::uint32_t m = 0; m < moduleCount && r.ok(); ++m) {
        const std::uint64_t e = moduleList + 4 + 108ull * m;
        SModuleInfo module;
        module.base = r.at<std::uint64_t>(e);
        module.size = r.at<std::uint32_t>(e + 8);
        module.name = r.text(r.at<std::uint32_t>(e + 20));
        const std::uint32_t cvSize = r.at<std::uint32_t>(e + 76);
        if (cvSize > 4 && cvSize <= 256) {
            const std::string cv = r.bytes(r.at<std::uint32_t>(e + 80), cvSize);
            std::uint32_t signature = 0;
            std::memcpy(&signature, cv.data(), 4);
            if (signature == kElfBuildIdRecord)
                module.buildId = cv.substr(4);
        }
        modules.push_back(module);
    }

    // The crashing thread: its context and its stack.
    std::uint64_t rip = 0, rsp = 0, stackStart = 0;
    std::string stack;
    const std::uint32_t threadCount = std::min<std::uint32_t>(r.at<std::uint32_t>(threadList), 65536);
    for (std::uint32_t t = 0; t < threadCount && r.ok(); ++t) {
        const std::uint64_t e = threadList + 4 + 48ull * t;
        if (r.at<std::uint32_t>(e) != summary.crashingThread)
            continue;
        stackStart = r.at<std::uint64_t>(e + 24);
        stack = r.bytes(r.at<std::uint32_t>(e + 36), r.at<std::uint32_t>(e + 32));
        const std::uint32_t contextSize = r.at<std::uint32_t>(e + 40);
        const std::uint32_t context = r.at<std::uint32_t>(e + 44);
        if (contextSize >= 256) {
            rsp = r.at<std::uint64_t>(context + 152);
            rip = r.at<std::uint64_t>(context + 248);
        }
        break;
    }
    if (!r.ok()) {
        summary.error = "a stream points outside the file";
        return summary;
    }

    std::map<std::string, std::unique_ptr<CElfSymbols>> symbols;
    auto frameAt = [&](std::uint64_t address, const char* trust) {
        SCrashFrame frame;
        frame.address = address;
        frame.trust = trust;
        for (const SModuleInfo& module : modules) {
            if (address < module.base || address - module.base >= module.size)
                continue;
            frame.module = module.name;
            frame.offset = address - module.base;
            if (!module.buildId.empty() && !symbolsDir.empty()) {
                const std::string id = hex(module.buildId);
                auto known = symbols.find(id);
                if (known == symbols.end()) {
                    auto loaded = std::make_unique<CElfSymbols>();
                    if (!loaded->load(symbolsDir + "/" + id, module.buildId))
                        loaded.reset();
                    known = symbols.emplace(id, std::move(loaded)).first;
                }
                if (known->second)
                    frame.symbol = known->second->nameAt(frame.offset);
            }
            break;
        }
        return frame;
    };

    summary.frames.push_back(frameAt(rip, "context"));
    // Return addresses on the stack: words that point into executable code of a module.
    const std::vector<SRange> code = executableRanges(maps);
    const std::uint64_t from = rsp > stackStart ? rsp - stackStart : 0;
    for (std::uint64_t at = from; at + 8 <= stack.size() && summary.frames.size() < maxFrames; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, stack.data() + at, 8);
        if (!inRanges(code, word))
            continue;
        SCrashFrame frame = frameAt(word, "scan");
        if (!frame.module.empty())
            summary.frames.push_back(frame);
    }
    summary.valid = true;
    return summary;
}

} // namespace BL::Server
