#include "platform/largebuffer.h"

#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace BL::Platform {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

// Whether the kernel hands out transparent huge pages to a region that asks for them.
bool hugePagesOnRequest()
{
    // Read with plain system calls: a C++ file stream would set up the standard library's whole
    // locale machinery at the first shot (some 0.5 MiB of code and facets resident for good).
    static const bool offered = [] {
        char value[128] = {};
        const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const ssize_t length = ::read(fd, value, sizeof value - 1);
        ::close(fd);
        return length > 0 && !std::strstr(value, "[never]"); // unreadable: no
    }();
    return offered;
}

std::size_t roundUp(std::size_t value, std::size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

// Freed mappings kept for reuse: (start, length), both multiples of the huge page.
struct SReuse
{
    std::mutex mutex;
    std::size_t limit = 0;
    std::vector<std::pair<std::uint8_t*, std::size_t>> kept;
};

SReuse& reuse()
{
    static SReuse* const state = new SReuse; // never destroyed: buffers may be freed at exit
    return *state;
}

// The smallest kept mapping of at least `length` bytes, and at most twice that, so that a small
// request does not tie up a large mapping; null when there is none.
std::pair<std::uint8_t*, std::size_t> takeKept(std::size_t length)
{
    SReuse& state = reuse();
    const std::lock_guard<std::mutex> lock(state.mutex);
    auto best = state.kept.end();
    for (auto it = state.kept.begin(); it != state.kept.end(); ++it)
        if (it->second >= length && it->second <= 2 * length &&
            (best == state.kept.end() || it->second < best->second))
            best = it;
    if (best == state.kept.end())
        return {nullptr, 0};
    const auto found = *best;
    state.kept.erase(best);
    return found;
}

} // namespace

void SLargeBufferFree::operator()(std::uint8_t* data) const
{
    if (mappedBytes == 0) {
        delete[] data;
        return;
    }
    {
        SReuse& state = reuse();
        const std::lock_guard<std::mutex> lock(state.mutex);
        if (state.kept.size() < state.limit) {
            state.kept.emplace_back(data, mappedBytes);
            return;
        }
    }
    ::munmap(data, mappedBytes);
}

void setLargeBufferReuse(std::size_t count)
{
    {
        const std::lock_guard<std::mutex> lock(reuse().mutex);
        reuse().limit = count;
    }
    if (count == 0)
        releaseLargeBuffers();
}

void releaseLargeBuffers()
{
    std::vector<std::pair<std::uint8_t*, std::size_t>> kept;
    {
        const std::lock_guard<std::mutex> lock(reuse().mutex);
        kept.swap(reuse().kept);
    }
    for (const auto& [start, length] : kept)
        ::munmap(start, length);
}

LargeBuffer allocateLargeBuffer(std::size_t bytes)
{
    if (bytes < kHugePage || !hugePagesOnRequest())
        return LargeBuffer(new (std::nothrow) std::uint8_t[bytes]);
    // Huge pages need a region aligned to their size: map a page more and trim both ends.
    const std::size_t length = roundUp(bytes, kHugePage);
    if (const auto [start, keptLength] = takeKept(length); start)
        return LargeBuffer(start, SLargeBufferFree{keptLength});
    const std::size_t mapped = length + kHugePage;
    void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return LargeBuffer(new (std::nothrow) std::uint8_t[bytes]);
    auto* const start = static_cast<std::uint8_t*>(raw);
    auto* const aligned =
        reinterpret_cast<std::uint8_t*>(roundUp(reinterpret_cast<std::uintptr_t>(start), kHugePage));
    if (aligned > start)
        ::munmap(start, std::size_t(aligned - start));
    if (start + mapped > aligned + length)
        ::munmap(aligned + length, std::size_t(start + mapped - (aligned + length)));
    ::madvise(aligned, length, MADV_HUGEPAGE);
    return LargeBuffer(aligned, SLargeBufferFree{length});
}

} // namespace BL::Platform
