#pragma once

#include "server/image_check.h"

#include <string>
#include <string_view>
#include <vector>

namespace BL::Server {

// A small picture in memory: 8-bit RGB, rows top to bottom without padding.
struct SRgbImage
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;

    unsigned char* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * width * 3; }
    const unsigned char* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * width * 3; }
};

// The size a picture's header gives; false when it cannot be read.
bool pictureSize(std::string_view bytes, EImageType type, int* width, int* height);

// Decodes a picture that decodableImageType() accepted into `width` x `height`, at most its own
// size: each pixel is the average of the pictures' pixels it covers, transparency shown over
// white. Reads the picture a row at a time (an interlaced PNG whole, within a bound), so that
// memory goes with the output, not the input. False when it cannot: a CMYK JPEG, a damaged file.
bool decodeScaled(std::string_view bytes, EImageType type, int width, int height, SRgbImage* out);

// `image` scaled down to `width` x `height` the same way.
SRgbImage scaledDown(const SRgbImage& image, int width, int height);

// PNG bytes of `image` (libpng, default compression); empty on failure.
std::string encodePng(const SRgbImage& image);

} // namespace BL::Server
