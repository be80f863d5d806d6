#include "platform/largebuffer.h"

#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <sys/mman.h>

namespace BL::Platform {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

// Whether the kernel hands out transparent huge pages to a region that asks for them.
bool hugePagesOnRequest()
{
    static const bool offered = [] {
        std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
        const std::string value{std::istreambuf_iterator<char>(setting), std::istreambuf_iterator<char>()};
        return !value.empty() && value.find("[never]") == std::string::npos; // unreadable: no
    }();
    return offered;
}

std::size_t roundUp(std::size_t value, std::size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

} // namespace

void SLargeBufferFree::operator()(std::uint8_t* data) const
{
    if (mappedBytes > 0)
        ::munmap(data, mappedBytes);
    else
        delete[] data;
}

LargeBuffer allocateLargeBuffer(std::size_t bytes)
{
    if (bytes < kHugePage || !hugePagesOnRequest())
        return LargeBuffer(new (std::nothrow) std::uint8_t[bytes]);
    // Huge pages need a region aligned to their size: map a page more and trim both ends.
    const std::size_t length = roundUp(bytes, kHugePage);
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
