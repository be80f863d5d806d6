#include "server/picture_routes.h"

#include "server/object_store.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

#include <algorithm>
#include <httplib.h>
#include <memory>

namespace BL::Server {

CPictureRoutes::CPictureRoutes(CStore& store, const CObjectStore& pictures)
    : m_store(store), m_pictures(pictures)
{
}

void CPictureRoutes::addTo(httplib::Server& http)
{
    http.Get(R"(/([A-Za-z0-9]{1,64})(-2)?\.(png|jpg))", routeTo(this, &CPictureRoutes::servePicture));
}

void CPictureRoutes::servePicture(const httplib::Request& req, httplib::Response& res)
{
    const std::string code = req.matches[1];
    const std::size_t index = req.matches[2].matched ? 1 : 0;
    const SCodeInfo info = m_store.lookup(code, nowMs());
    std::shared_ptr<CObjectReader> reader;
    if (info.state == ECodeState::Uploaded && index < info.files.size())
        reader = m_pictures.open(info.files[index].name);
    if (!reader) {
        replyNotFound(res);
        return;
    }
    res.set_header("Cache-Control", "public, max-age=31536000, immutable");
    res.set_header("X-Content-Type-Options", "nosniff");
    // Streamed from the store a piece at a time: a slow reader holds a buffer, not the picture.
    res.set_content_provider(static_cast<std::size_t>(reader->size()), info.files[index].mime,
                             [reader](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 char buffer[64 * 1024];
                                 const std::size_t got =
                                     reader->read(offset, buffer, std::min(length, sizeof buffer));
                                 return got > 0 && sink.write(buffer, got);
                             });
}

} // namespace BL::Server
