#pragma once

#include "server/options.h"
#include "server/routes.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace BL::Server {

class CAttemptLimiter;
class CDiskQuota;
class CPreviewMaker;
class CReservationBatcher;
class CWriteLimits;

// The desktop client's API: credential check, code reservation, and the picture and URL uploads.
class CApiRoutes : public CRoutes
{
public:
    // `publicUrl` is read at each request: the service settles it only when it binds.
    CApiRoutes(const SServiceOptions& options, CStore& store, CObjectStore& pictures, CDiskQuota& quota,
               CAttemptLimiter& checks, CWriteLimits& limits, const std::string& publicUrl);
    ~CApiRoutes() override;

    void addTo(CHttpServer& http) override;

private:
    void checkHash(const SHttpRequest& req, SHttpResponse& res);
    void uploadFiles(const SHttpRequest& req, SHttpResponse& res);
    void uploadUrl(const SHttpRequest& req, SHttpResponse& res);
    // `scalePercent`: the device pixel ratio of the screen the pictures were taken on, in percent.
    void finishUpload(const std::string& code, const std::string& hash,
                      const std::vector<std::string_view>& pictures, const std::string& sourceUrl,
                      int scalePercent, SHttpResponse& res);
    // Replies with a refusal and returns true unless `code` is empty or reserved and unused.
    bool refuseUnusableCode(const std::string& code, SHttpResponse& res);
    void declineAndEnd(const std::string& code, const std::string& reason, SHttpResponse& res);

    const SServiceOptions& m_options;
    CStore& m_store;
    CObjectStore& m_pictures;
    CDiskQuota& m_quota;
    CAttemptLimiter& m_checks;
    const std::string& m_publicUrl;
    std::unique_ptr<CReservationBatcher> m_reservations;
    // Last: made before and stopped before the rest, so it never outlives what it uses.
    std::unique_ptr<CPreviewMaker> m_previews;
};

} // namespace BL::Server
