#pragma once

#include "server/routes.h"

namespace BL::Server {

// The stored pictures: /CODE.png (or .jpg) is the first one, /CODE-2.png the second of a pair.
class CPictureRoutes : public CRoutes
{
public:
    CPictureRoutes(CStore& store, const CObjectStore& pictures);

    void addTo(CHttpServer& http) override;

private:
    void servePicture(const SHttpRequest& req, SHttpResponse& res);

    CStore& m_store;
    const CObjectStore& m_pictures;
};

} // namespace BL::Server
