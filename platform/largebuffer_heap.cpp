#include "platform/largebuffer.h"

#include <new>

namespace BL::Platform {

void SLargeBufferFree::operator()(std::uint8_t* data) const
{
    delete[] data;
}

LargeBuffer allocateLargeBuffer(std::size_t bytes)
{
    return LargeBuffer(new (std::nothrow) std::uint8_t[bytes]);
}

void setLargeBufferReuse(std::size_t) {}

void releaseLargeBuffers() {}

} // namespace BL::Platform
