#include "server/share_links.h"

#include <cctype>

namespace BL::Server {

namespace {

// A query value: everything but letters, digits and "-._~" escaped.
std::string queryValue(const std::string& text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 15]);
        }
    }
    return out;
}

} // namespace

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
    return publicUrl + "/oembed?url=" + queryValue(publicUrl + "/" + code) + "&format=json";
}

} // namespace BL::Server
