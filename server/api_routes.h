#pragma once

#include "server/options.h"
#include "server/routes.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace BL::Server {

class CAttemptLimiter;
class CReservationBatcher;
class CUploadIntake;
class CWriteLimits;

// The desktop client's API: credential check, code reservation, and the picture and URL uploads.
class CApiRoutes : public CRoutes
{
public:
    // `publicUrl` is read at each request: the service settles it only when it binds.
    CApiRoutes(const SServiceOptions& options, CStore& store, CUploadIntake& intake, CAttemptLimiter& checks,
               CWriteLimits& limits, const std::string& publicUrl);
    ~CApiRoutes() override;

    void addTo(CHttpServer& http) override;

private:
    void checkHash(const SHttpRequest& req, SHttpResponse& res);
    void uploadFiles(const SHttpRequest& req, SHttpResponse& res);
    void uploadUrl(const SHttpRequest& req, SHttpResponse& res);

    const SServiceOptions& m_options;
    CStore& m_store;
    CUploadIntake& m_intake;
    CAttemptLimiter& m_checks;
    const std::string& m_publicUrl;
    std::unique_ptr<CReservationBatcher> m_reservations;
};

} // namespace BL::Server
