#include "server/share_links.h"

#include "server/util.h"

namespace BL::Server {

std::string pictureUrl(const std::string& base, const std::string& code, std::size_t index,
                       const SPictureFile& file)
{
    // The extension of its type, which unfurlers may go by; the route takes either.
    return base + "/" + code + (index == 1 ? "-2" : "") + (file.mime == "image/jpeg" ? ".jpg" : ".png");
}

std::string thumbnailUrl(const std::string& base, const std::string& code)
{
    return base + "/" + code + "-thumb.png";
}

std::string pairPreviewUrl(const std::string& base, const std::string& code)
{
    return base + "/" + code + "-pair.png";
}

SPreviewTarget previewTarget(const std::string& publicUrl, const std::string& code, const SCodeInfo& info)
{
    if (info.files.size() >= 2 && !info.pairPreview.name.empty())
        return {pairPreviewUrl(publicUrl, code), info.pairPreview};
    if (info.files.empty())
        return {};
    return {pictureUrl(publicUrl, code, 0, info.files.front()), info.files.front()};
}

std::string oembedUrl(const std::string& publicUrl, const std::string& code)
{
    return publicUrl + "/oembed?url=" + percentEncodeAll(publicUrl + "/" + code) + "&format=json";
}

} // namespace BL::Server
