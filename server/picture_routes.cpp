#include "server/picture_routes.h"

#include "server/http_server.h"
#include "server/object_store.h"
#include "server/pages.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

#include <algorithm>
#include <memory>

namespace BL::Server {

CPictureRoutes::CPictureRoutes(CStore& store, const CObjectStore& pictures)
    : m_store(store), m_pictures(pictures)
{
}

void CPictureRoutes::addTo(CHttpServer& http)
{
    http.get(R"(/([A-Za-z0-9]{1,64})(-2)?\.(png|jpg))", routeTo(this, &CPictureRoutes::servePicture));
}

void CPictureRoutes::servePicture(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string code = req.matches[1];
    const std::size_t index = !req.matches[2].empty() ? 1 : 0;
    SCodeInfo info = m_store.lookup(code, nowMs());
    std::shared_ptr<CObjectReader> reader;
    if (info.state == ECodeState::Uploaded && index < info.files.size())
        reader = m_pictures.open(info.files[index].name);
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
    res.setStream(static_cast<std::uint64_t>(reader->size()), info.files[index].mime,
                  [reader](std::uint64_t offset, char* buffer, std::size_t length) {
                      return reader->read(offset, buffer, length);
                  });
}

} // namespace BL::Server
