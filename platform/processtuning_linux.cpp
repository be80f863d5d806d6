#include "platform/largebuffer.h"
#include "platform/processtuning.h"
#include "platform/userid.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <link.h>
#include <malloc.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// True when the dynamic linker may have written into the object's read-only segments: those
// pages are private copies now, and dropping them would lose the relocations.
bool hasTextRelocations(const dl_phdr_info& info)
{
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        if (info.dlpi_phdr[i].p_type != PT_DYNAMIC)
            continue;
        const auto* entry = reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
        for (; entry->d_tag != DT_NULL; ++entry)
            if (entry->d_tag == DT_TEXTREL || (entry->d_tag == DT_FLAGS && (entry->d_un.d_val & DF_TEXTREL)))
                return true;
    }
    return false;
}

// The pages of an object's segments that are never written: code, constants and the dynamic
// linker's tables. The relocated part (RELRO) is written once before it is protected, so those
// pages are private copies and stay; so does every segment of an object with text relocations.
int releaseReadOnlySegments(dl_phdr_info* info, size_t /*size*/, void* released)
{
    // The kernel's vDSO is no file mapping; its pages are not ours to drop.
    const auto vdso = static_cast<ElfW(Addr)>(::getauxval(AT_SYSINFO_EHDR));
    if ((vdso != 0 && reinterpret_cast<ElfW(Addr)>(info->dlpi_phdr) >= vdso &&
         reinterpret_cast<ElfW(Addr)>(info->dlpi_phdr) < vdso + 0x10000) ||
        hasTextRelocations(*info))
        return 0;
    const auto page = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
    ElfW(Addr) relroStart = 0;
    ElfW(Addr) relroEnd = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_GNU_RELRO) {
            relroStart = (info->dlpi_addr + info->dlpi_phdr[i].p_vaddr) & ~(page - 1);
            relroEnd =
                (info->dlpi_addr + info->dlpi_phdr[i].p_vaddr + info->dlpi_phdr[i].p_memsz + page - 1) &
                ~(page - 1);
        }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0)
            continue;
        // Whole pages only: a page shared with a written neighbour may hold its copies.
        ElfW(Addr) start = (info->dlpi_addr + segment.p_vaddr + page - 1) & ~(page - 1);
        ElfW(Addr) end = (info->dlpi_addr + segment.p_vaddr + segment.p_filesz) & ~(page - 1);
        if (relroEnd > start && relroStart < end) {
            // Keep the part before the relocated range, if any; what follows it is written too.
            end = std::min(end, relroStart);
        }
        if (end > start && ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0)
            *static_cast<long long*>(released) += static_cast<long long>(end - start);
    }
    return 0;
}

// One mapping of /proc/self/smaps: its head line and whether it holds private copies.
struct SSmapsEntry
{
    unsigned long start = 0;
    unsigned long end = 0;
    unsigned long offset = 0;
    char perms[8] = {};
    char path[PATH_MAX] = {};
    bool copied = false; // written once, as relocations are, then protected

    bool isFile() const { return path[0] == '/'; }
    bool writable() const { return perms[1] == 'w'; }
    bool executable() const { return perms[2] == 'x'; }
    // Unmaps the pages of a file mapping that holds no copies of its own: the next use maps the
    // page cache's pages again. Returns the bytes unmapped.
    long long dropFilePages() const
    {
        if (!isFile() || writable() || copied || end <= start)
            return 0;
        return ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0
                   ? static_cast<long long>(end - start)
                   : 0;
    }
};

// Calls `take` with each mapping of /proc/self/smaps once its fields have been read. Reads in
// pieces into the stack and allocates nothing itself: the idle trim calls it just after the
// heap's free pages went back, and a buffer for the whole list would bring some of them back.
template<typename Take> void forEachMapping(const Take& take)
{
    const int fd = ::open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    SSmapsEntry entry;
    bool pending = false;
    const auto takeLine = [&](char* line) {
        // Mapping heads start with their address in lower-case hex, field lines with a name.
        if ((*line >= '0' && *line <= '9') || (*line >= 'a' && *line <= 'f')) {
            if (pending)
                take(entry);
            entry = SSmapsEntry();
            int pathAt = 0;
            // "start-end perms offset dev inode path"
            pending = std::sscanf(line, "%lx-%lx %7s %lx %*s %*s %n", &entry.start, &entry.end, entry.perms,
                                  &entry.offset, &pathAt) == 4;
            if (pending && pathAt > 0)
                std::strncpy(entry.path, line + pathAt, sizeof entry.path - 1);
        } else if (std::strncmp(line, "Anonymous:", 10) == 0) {
            entry.copied = std::strtoul(line + 10, nullptr, 10) != 0;
        }
    };
    char chunk[16384];
    size_t kept = 0;
    for (ssize_t got; (got = ::read(fd, chunk + kept, sizeof chunk - 1 - kept)) > 0;) {
        const size_t length = kept + static_cast<size_t>(got);
        size_t begin = 0;
        for (size_t i = 0; i < length; ++i) {
            if (chunk[i] != '\n')
                continue;
            chunk[i] = '\0';
            takeLine(chunk + begin);
            begin = i + 1;
        }
        kept = length - begin;
        // A line as long as the buffer is a path too long to name a mapping: dropped.
        if (kept == sizeof chunk - 1)
            kept = 0;
        std::memmove(chunk, chunk + begin, kept);
    }
    ::close(fd);
    if (pending)
        take(entry);
}

} // namespace

namespace BL::Platform {

void tuneProcessBeforeGui()
{
    // We draw with the raster engine only. Without this the X11 plugin loads
    // GLX to pick visuals for translucent windows, which on machines without a
    // GPU brings in a software renderer of some 40 MiB at the first overlay.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", QByteArrayLiteral("none"));
    // Without a runtime directory (su, ssh, bare containers) Qt warns at start and makes one of
    // its own. Ours is just as private, and brightloom-upload finds the program's socket there.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QFileInfo(QFile::decodeName(runtime)).isDir()) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(privateRuntimeDirectory()));
        // A sound server of the login keeps its socket in the login's directory all the same.
        const QString pulse = QStringLiteral("/run/user/%1/pulse").arg(::getuid());
        if (qEnvironmentVariableIsEmpty("PULSE_RUNTIME_PATH") &&
            QFileInfo::exists(pulse + QStringLiteral("/native")))
            qputenv("PULSE_RUNTIME_PATH", QFile::encodeName(pulse));
    }
    // Qt's generic bearer engine rescans the network interfaces every 10 s from the first
    // network manager on, waking an idle program for an online state it never asks for.
    if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
        qputenv("QT_BEARER_POLL_TIMEOUT", QByteArray::number(std::numeric_limits<int>::max()));
    // One arena for every thread, so that the idle release reaches every free page: worker
    // threads (PNG encoding, the network's) would otherwise get arenas of their own, whose top
    // malloc_trim() never shrinks, and the picture buffers they last held (some 5 MiB) would stay
    // resident between shots for good.
    mallopt(M_ARENA_MAX, 1);
    // Fixed thresholds: picture-sized blocks come from the heap and stay there while shots follow
    // each other, as glibc's moving thresholds would have it after the first shot, but the heap
    // is never cut back in the middle of one (fresh pages cost a fault each on the hot path).
    // releaseFreeMemory() gives everything back once the program is idle.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    // The same for the huge-page buffers of the PNG encoder: the rows and the two compressed
    // bands of one picture.
    setLargeBufferReuse(3);
}

QStringList mappedFiles()
{
    QStringList files;
    forEachMapping([&files](const SSmapsEntry& entry) {
        const QString file = QFile::decodeName(entry.path);
        if (entry.isFile() && !files.contains(file))
            files << file;
    });
    return files;
}

void dropPagesOfFilesMappedSince(const QStringList& before)
{
    forEachMapping([&](const SSmapsEntry& entry) {
        // Of the libraries there before, only the symbol tables that binding the new ones
        // searched: the dynamic linker's, read again only by a later load.
        if (entry.isFile() && before.contains(QFile::decodeName(entry.path)) &&
            (entry.executable() || entry.offset != 0))
            return;
        entry.dropFilePages();
    });
}

void releaseFreeMemory()
{
    // Picture-sized blocks are reused from the heap during a shot (fresh
    // mappings would cost page faults on the hot path); once idle, give the
    // free pages back.
    releaseLargeBuffers();
    malloc_trim(0);
}

long long heapBytesInUse()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

long long releaseLibraryPages()
{
    // MADV_DONTNEED on a private file mapping that holds no private copies only unmaps: the next
    // access maps the page cache's page again. The dynamic linker holds its list locked while
    // it walks it, so no object is unloaded (and its range reused) under our feet.
    long long released = 0;
    ::dl_iterate_phdr(releaseReadOnlySegments, &released);
    return released;
}

long long releaseMappedFilePages()
{
    long long released = 0;
    forEachMapping([&released](const SSmapsEntry& entry) { released += entry.dropFilePages(); });
    return released;
}

} // namespace BL::Platform
