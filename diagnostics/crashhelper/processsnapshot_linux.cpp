#include "diagnostics/crashhelper/processsnapshot_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>

namespace BL::CrashHelper {

namespace {

constexpr std::uint64_t kRedZone = 128;
constexpr std::uint64_t kMaxStack = 64 * 1024;

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<int> threadIds(int pid)
{
    std::vector<int> tids;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!dir)
        return tids;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            tids.push_back(std::atoi(entry->d_name));
    ::closedir(dir);
    std::sort(tids.begin(), tids.end());
    return tids;
}

} // namespace

std::vector<SMapping> parseMaps(const std::string& text)
{
    std::vector<SMapping> mappings;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        SMapping m;
        char perms[8] = {};
        unsigned long long start = 0, end = 0, offset = 0, inode = 0;
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %*x:%*x %llu %n", &start, &end, perms, &offset,
                        &inode, &pathAt) < 5)
            continue;
        m.start = start;
        m.end = end;
        m.offset = offset;
        m.permissions = perms;
        m.inode = inode;
        if (pathAt > 0 && static_cast<std::size_t>(pathAt) <= line.size())
            m.path = line.substr(static_cast<std::size_t>(pathAt));
        mappings.push_back(m);
    }
    return mappings;
}

CProcessReader::CProcessReader(int pid) : m_pid(pid) {}

CProcessReader::~CProcessReader()
{
    releaseThreads();
}

void CProcessReader::releaseThreads()
{
    for (int tid : m_stopped)
        ::ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
    m_stopped.clear();
}

bool CProcessReader::stopThread(int tid)
{
    // Seize and interrupt: unlike an attach, no SIGSTOP is left behind for the process to see.
    if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0)
        return false;
    m_stopped.push_back(tid);
    if (::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0)
        return false;
    int status = 0;
    while (::waitpid(tid, &status, __WALL) < 0)
        if (errno != EINTR)
            return false;
    return WIFSTOPPED(status);
}

bool CProcessReader::read(std::uint64_t address, void* out, std::size_t size)
{
    iovec local{out, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    return ::process_vm_readv(m_pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

SMemoryBlock CProcessReader::readStack(const std::vector<SMapping>& mappings, std::uint64_t sp)
{
    SMemoryBlock block;
    const std::uint64_t from = sp > kRedZone ? sp - kRedZone : 0;
    for (const SMapping& m : mappings) {
        if (sp < m.start || sp >= m.end)
            continue;
        block.start = std::max(from, m.start) & ~std::uint64_t(15);
        const std::uint64_t end = std::min(m.end, block.start + kMaxStack);
        block.bytes.resize(end - block.start);
        if (!read(block.start, block.bytes.data(), block.bytes.size()))
            block.bytes.clear();
        break;
    }
    return block;
}

std::string CProcessReader::buildIdAt(std::uint64_t base)
{
    Elf64_Ehdr header;
    if (!read(base, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr) ||
        header.e_phnum > 256)
        return {};
    std::vector<Elf64_Phdr> phdrs(header.e_phnum);
    if (!read(base + header.e_phoff, phdrs.data(), phdrs.size() * sizeof(Elf64_Phdr)))
        return {};
    // Addresses in the headers are relative to the first loaded segment, which sits at `base`.
    std::uint64_t firstLoad = UINT64_MAX;
    for (const Elf64_Phdr& ph : phdrs)
        if (ph.p_type == PT_LOAD)
            firstLoad = std::min<std::uint64_t>(firstLoad, ph.p_vaddr & ~(ph.p_align ? ph.p_align - 1 : 0));
    if (firstLoad == UINT64_MAX)
        return {};
    for (const Elf64_Phdr& ph : phdrs) {
        if (ph.p_type != PT_NOTE || ph.p_memsz > 65536)
            continue;
        std::string notes(ph.p_memsz, '\0');
        if (!read(base + ph.p_vaddr - firstLoad, notes.data(), notes.size()))
            continue;
        std::size_t at = 0;
        while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
            Elf64_Nhdr note;
            std::memcpy(&note, notes.data() + at, sizeof note);
            const std::size_t nameAt = at + sizeof note;
            const std::size_t descAt = nameAt + ((note.n_namesz + 3) & ~3u);
            const std::size_t next = descAt + ((note.n_descsz + 3) & ~3u);
            if (next > notes.size())
                break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(notes.data() + nameAt, "GNU", 4) == 0)
                return notes.substr(descAt, note.n_descsz);
            at = next;
        }
    }
    return {};
}

std::vector<SModule> CProcessReader::modulesOf(const std::vector<SMapping>& mappings)
{
    // A module is a mapped file that starts with its offset-0 mapping; its later mappings of the
    // same file extend it.
    std::vector<SModule> modules;
    std::map<std::string, std::size_t> byPath;
    for (const SMapping& m : mappings) {
        if (m.inode == 0 || m.path.empty() || m.path[0] != '/')
            continue;
        auto known = byPath.find(m.path);
        if (known == byPath.end()) {
            if (m.offset != 0)
                continue;
            std::uint32_t magic = 0;
            if (!read(m.start, &magic, sizeof magic) || std::memcmp(&magic, ELFMAG, SELFMAG) != 0)
                continue;
            byPath[m.path] = modules.size();
            modules.push_back({m.start, m.end - m.start, m.path, buildIdAt(m.start)});
        } else {
            SModule& module = modules[known->second];
            module.size = std::max(module.size, m.end - module.base);
        }
    }
    return modules;
}

SProcessSnapshot CProcessReader::snapshot(int skipTid)
{
    SProcessSnapshot snap;
    snap.pid = m_pid;
    const std::string proc = "/proc/" + std::to_string(m_pid);
    // Stop first, then read: the mappings and stacks do not change under us.
    std::vector<int> tids = threadIds(m_pid);
    for (int tid : tids) {
        if (tid == skipTid || !stopThread(tid))
            continue;
        SThreadState state;
        state.tid = tid;
        if (::ptrace(PTRACE_GETREGS, tid, nullptr, &state.regs) != 0)
            continue;
        state.hasFpregs = ::ptrace(PTRACE_GETFPREGS, tid, nullptr, &state.fpregs) == 0;
        snap.threads.push_back(state);
    }
    snap.mapsText = readTextFile(proc + "/maps");
    snap.mappings = parseMaps(snap.mapsText);
    for (SThreadState& thread : snap.threads)
        thread.stack = readStack(snap.mappings, thread.regs.rsp);
    snap.modules = modulesOf(snap.mappings);
    return snap;
}

} // namespace BL::CrashHelper
