#pragma once

#include "server/routes.h"

namespace BL::Server {

// The stored pictures: /CODE.png (or .jpg) is the first one, /CODE-2.png the second of a pair.
class CPictureRoutes : public CRoutes
{
public:
    CPictureRoutes(CStore& store, const CObjectStore& pictures);

    void addTo(httplib::Server& http) override;

private:
    void servePicture(const httplib::Request& req, httplib::Response& res);

    CStore& m_store;
    const CObjectStore& m_pictures;
};

} // namespace BL::Server
