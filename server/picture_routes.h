#pragma once

#include "server/routes.h"

#include <string>

namespace BL::Server {

// The stored pictures: /CODE.png (or .jpg) is the first one, /CODE-2.png the second of a pair,
// /CODE-thumb.png the thumbnail and /CODE-pair.png a pair's side by side; and /oembed, which
// describes the picture of a page for a chat's preview.
class CPictureRoutes : public CRoutes
{
public:
    // `publicUrl` is read at each request: the service settles it only when it binds.
    CPictureRoutes(CStore& store, const CObjectStore& pictures, const std::string& publicUrl);

    void addTo(CHttpServer& http) override;

private:
    void servePicture(const SHttpRequest& req, SHttpResponse& res);
    void describe(const SHttpRequest& req, SHttpResponse& res);

    CStore& m_store;
    const CObjectStore& m_pictures;
    const std::string& m_publicUrl;
};

} // namespace BL::Server
