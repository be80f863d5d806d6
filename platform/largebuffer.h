#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace BL::Platform {

struct SLargeBufferFree
{
    std::size_t mappedBytes = 0; // 0: from the heap
    void operator()(std::uint8_t* data) const;
};
using LargeBuffer = std::unique_ptr<std::uint8_t[], SLargeBufferFree>;

// Memory for a picture-sized buffer that is written once and soon freed. Where the system offers
// huge pages, its first writes cost a handful of page faults instead of one per 4 KiB (a full
// screen is some two thousand), and it goes back to the system as soon as it is freed instead of
// growing the heap. Elsewhere it comes from the heap. Null when there is no memory for it.
LargeBuffer allocateLargeBuffer(std::size_t bytes);

// Keeps up to `count` freed huge-page buffers mapped, for the next ones of a similar size: the
// pictures of shots taken in a row then cost no fresh pages at all (a fresh huge page is
// cleared by the kernel, some 10 MiB per full-screen picture). 0, the default, unmaps each
// buffer as it is freed. Where there are no huge-page buffers it does nothing.
void setLargeBufferReuse(std::size_t count);
// Unmaps the buffers kept for reuse; for idle moments.
void releaseLargeBuffers();

} // namespace BL::Platform
