#pragma once

#include "server/http_message.h"

namespace BL::Server {

class CHttpServer;
class CStore;
class CObjectStore;

// One area of the service's routes. The service owns the areas and the storage they share, and
// adds each area's handlers to its one listener; the handlers refer to the area object.
class CRoutes
{
public:
    CRoutes() = default;
    virtual ~CRoutes() = default;
    CRoutes(const CRoutes&) = delete;
    CRoutes& operator=(const CRoutes&) = delete;

    virtual void addTo(CHttpServer& http) = 0;
};

} // namespace BL::Server
