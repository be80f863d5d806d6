#pragma once

#include <string>
#include <string_view>

namespace BL::Server {

enum class EImageType { None, Png, Jpeg };

// One of the few decodes that may run at once, held while it lives: every decode holds a
// picture's rows or lines in memory, so their number bounds memory under a flood of uploads.
struct SDecodeSlot
{
    SDecodeSlot();
    ~SDecodeSlot();
    SDecodeSlot(const SDecodeSlot&) = delete;
    SDecodeSlot& operator=(const SDecodeSlot&) = delete;
};

// The type of a picture that decodes completely, or None. All image data is read and checked
// (for PNG every chunk CRC, the zlib checksum and every row), so a truncated or corrupted file
// is refused rather than stored and served broken.
EImageType decodableImageType(std::string_view bytes);
// The two halves of it. The type the first bytes announce, read without decoding anything:
EImageType announcedImageType(std::string_view bytes);
// and whether a picture of that type decodes completely.
bool decodesCompletely(std::string_view bytes, EImageType type);

const char* mimeType(EImageType type);
const char* fileExtension(EImageType type);

} // namespace BL::Server
