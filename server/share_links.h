#pragma once

#include "server/store.h"

#include <string>

namespace BL::Server {

// The addresses of a code's pictures and previews: /CODE.png (or .jpg) the first picture,
// /CODE-2.png the second of a comparison, /CODE-thumb.png the thumbnail, /CODE-pair.png the side by
// side of a comparison.
std::string pictureUrl(const std::string& base, const std::string& code, std::size_t index,
                       const SPictureFile& file);
std::string thumbnailUrl(const std::string& base, const std::string& code);
std::string pairPreviewUrl(const std::string& base, const std::string& code);

// The picture a link to an uploaded code previews, absolute under `publicUrl`: a comparison's side
// by side, or the first picture (also when a comparison stored before has none).
struct SPreviewTarget
{
    std::string url;
    SPictureFile file;
};
SPreviewTarget previewTarget(const std::string& publicUrl, const std::string& code, const SCodeInfo& info);

// The oEmbed address that describes the page of `code`.
std::string oembedUrl(const std::string& publicUrl, const std::string& code);

} // namespace BL::Server
