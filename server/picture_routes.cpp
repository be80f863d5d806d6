#include "server/picture_routes.h"

#include "server/http_server.h"
#include "server/object_store.h"
#include "server/pages.h"
#include "server/route_support.h"
#include "server/share_links.h"
#include "server/store.h"
#include "server/util.h"

#include <algorithm>
#include <memory>

namespace BL::Server {

namespace {

// The file a picture URL's suffix names: "" the first picture, "-2" the second, "-thumb" the
// thumbnail, "-pair" a comparison's side by side; nullptr when the code has none.
const SPictureFile* fileFor(const SCodeInfo& info, const std::string& suffix)
{
    const SPictureFile* file = nullptr;
    if (suffix.empty() && !info.files.empty())
        file = &info.files[0];
    else if (suffix == "-2" && info.files.size() >= 2)
        file = &info.files[1];
    else if (suffix == "-thumb")
        file = &info.thumbnail;
    else if (suffix == "-pair")
        file = &info.pairPreview;
    return file && !file->name.empty() ? file : nullptr;
}

// A positive size parameter, or 0 when absent or not a number.
int sizeParam(const SHttpRequest& req, const char* name)
{
    const std::string value = req.param(name);
    if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoi(value);
}

} // namespace

CPictureRoutes::CPictureRoutes(CStore& store, const CObjectStore& pictures, const std::string& publicUrl)
    : m_store(store), m_pictures(pictures), m_publicUrl(publicUrl)
{
}

void CPictureRoutes::addTo(CHttpServer& http)
{
    http.get(R"(/([A-Za-z0-9]{1,64})(-2|-thumb|-pair)?\.(png|jpg))",
             routeTo(this, &CPictureRoutes::servePicture));
    http.get("/oembed", routeTo(this, &CPictureRoutes::describe));
}

void CPictureRoutes::servePicture(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string code = req.matches[1];
    const std::string suffix = req.matches[2];
    SCodeInfo info = m_store.lookup(code, nowMs());
    const SPictureFile* file = info.state == ECodeState::Uploaded ? fileFor(info, suffix) : nullptr;
    std::shared_ptr<CObjectReader> reader;
    if (file)
        reader = m_pictures.open(file->name);
    // Deleted on another node between the look-up and the open: the row says so now.
    if (!reader && info.state == ECodeState::Uploaded)
        info = m_store.lookup(code, nowMs());
    if (!reader) {
        if (info.state == ECodeState::Deleted)
            replyPage(res, 410, removedPage());
        else if (info.state == ECodeState::PictureExpired)
            replyPage(res, 410, expiredPage());
        else
            replyNotFound(res);
        return;
    }
    if (info.endsMs > 0) {
        // No cache may keep a picture past its end.
        const std::int64_t left = std::max<std::int64_t>(0, (info.endsMs - nowMs()) / 1000);
        res.setHeader("Cache-Control", "public, max-age=" + std::to_string(left));
    } else {
        res.setHeader("Cache-Control", "public, max-age=31536000, immutable");
    }
    res.setHeader("X-Content-Type-Options", "nosniff");
    // Streamed from the store a piece at a time: a slow reader holds a buffer, not the picture.
    res.setStream(static_cast<std::uint64_t>(reader->size()), file->mime,
                  [reader](std::uint64_t offset, char* buffer, std::size_t length) {
                      return reader->read(offset, buffer, length);
                  });
}

void CPictureRoutes::describe(const SHttpRequest& req, SHttpResponse& res)
{
    if (req.hasParam("format") && req.param("format") != "json") {
        refuse(res, 501, "only json");
        return;
    }
    const std::string url = req.param("url");
    const std::string prefix = m_publicUrl + "/";
    const std::string code = url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : std::string();
    if (!isAlnumText(code, 1, 64)) {
        refuse(res, 404, "not a picture of this service");
        return;
    }
    const SCodeInfo info = m_store.lookup(code, nowMs());
    if (info.state == ECodeState::Deleted || info.state == ECodeState::PictureExpired) {
        refuse(res, 410, "picture removed");
        return;
    }
    SPreviewTarget photo =
        info.state == ECodeState::Uploaded ? previewTarget(m_publicUrl, code, info) : SPreviewTarget();
    const SPictureFile& thumbnail = info.thumbnail;
    // A consumer's bounds are kept to: the thumbnail stands in for a picture that does not fit.
    const int maxWidth = sizeParam(req, "maxwidth");
    const int maxHeight = sizeParam(req, "maxheight");
    const auto fits = [&](const SPictureFile& file) {
        return (maxWidth == 0 || file.width <= maxWidth) && (maxHeight == 0 || file.height <= maxHeight);
    };
    if (!photo.url.empty() && !fits(photo.file) && !thumbnail.name.empty() && fits(thumbnail))
        photo = {thumbnailUrl(m_publicUrl, code), thumbnail};
    // A photo's size is required; pictures stored before sizes were kept have none.
    if (photo.url.empty() || photo.file.width <= 0 || !fits(photo.file)) {
        refuse(res, 404, "no picture to show");
        return;
    }
    const std::string title = (info.files.size() >= 2 ? "Comparison " : "Picture ") + code;
    std::string json = "{\"version\":\"1.0\",\"type\":\"photo\",\"title\":\"" + title +
                       "\",\"provider_name\":\"Brightloom\",\"provider_url\":\"" + m_publicUrl +
                       "\",\"url\":\"" + photo.url + "\",\"width\":" + std::to_string(photo.file.width) +
                       ",\"height\":" + std::to_string(photo.file.height);
    if (!thumbnail.name.empty()) {
        json += ",\"thumbnail_url\":\"" + thumbnailUrl(m_publicUrl, code) +
                "\",\"thumbnail_width\":" + std::to_string(thumbnail.width) +
                ",\"thumbnail_height\":" + std::to_string(thumbnail.height);
    }
    replyJson(res, 200, json + "}");
}

} // namespace BL::Server
