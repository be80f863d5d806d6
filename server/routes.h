#pragma once

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace BL::Server {

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

    virtual void addTo(httplib::Server& http) = 0;
};

} // namespace BL::Server
