#include "server/picture_routes.h"

#include "server/files.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

#include <httplib.h>

namespace BL::Server {

CPictureRoutes::CPictureRoutes(CStore& store, const CDurableDirectory& pictures)
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
    std::string data;
    if (info.state != ECodeState::Uploaded || index >= info.files.size() ||
        !m_pictures.read(info.files[index].name, &data)) {
        replyNotFound(res);
        return;
    }
    res.set_header("Cache-Control", "public, max-age=31536000, immutable");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(std::move(data), info.files[index].mime.c_str());
}

} // namespace BL::Server
