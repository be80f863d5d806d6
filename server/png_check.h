#pragma once

#include <cstddef>

namespace BL::Server {

// Pictures whose inflated rows fit in this many bytes are inflated in one pass into one buffer;
// larger ones are streamed through a small buffer so that memory stays bounded.
constexpr std::size_t pngWholeBufferLimit = 64 * 1024 * 1024;

// Whether `data` is a complete PNG that a decoder reads without error: signature, chunk lengths
// and CRCs, chunk order, a valid header of at most `maxPixels` pixels, the zlib stream of the
// image data with its checksum, exactly the bytes the header's rows need (Adam7 passes included),
// a valid filter type on every row, and nothing after IEND. The filters themselves are not
// undone: every filtered row decodes to some pixels, so that work would prove nothing more.
bool isCompletePng(const unsigned char* data, std::size_t size, unsigned long long maxPixels,
                   std::size_t wholeBufferLimit = pngWholeBufferLimit);

} // namespace BL::Server
