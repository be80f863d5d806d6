#pragma once

#include <string>
#include <string_view>

namespace BL::Server {

enum class EImageType { None, Png, Jpeg };

// The type of a picture that decodes completely, or None. All image data is read and checked
// (for PNG every chunk CRC, the zlib checksum and every row), so a truncated or corrupted file
// is refused rather than stored and served broken.
EImageType decodableImageType(std::string_view bytes);

const char* mimeType(EImageType type);
const char* fileExtension(EImageType type);

} // namespace BL::Server
