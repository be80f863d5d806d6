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

} // namespace BL::Platform
