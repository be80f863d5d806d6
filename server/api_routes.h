#pragma once

#include "server/options.h"
#include "server/routes.h"

#include <string>

namespace BL::Server {

class CAttemptLimiter;
class CDiskQuota;

// The desktop client's API: credential check, code reservation, and the picture and URL uploads.
class CApiRoutes : public CRoutes
{
public:
    // `publicUrl` is read at each request: the service settles it only when it binds.
    CApiRoutes(const SServiceOptions& options, CStore& store, CObjectStore& pictures, CDiskQuota& quota,
               CAttemptLimiter& checks, const std::string& publicUrl);

    void addTo(httplib::Server& http) override;

private:
    void checkHash(const httplib::Request& req, httplib::Response& res);
    void reserveCode(const httplib::Request& req, httplib::Response& res);
    void uploadFiles(const httplib::Request& req, httplib::Response& res);
    void uploadUrl(const httplib::Request& req, httplib::Response& res);
    void finishUpload(const std::string& code, const std::string& hash, const std::string* const pictures[2],
                      const std::string& sourceUrl, httplib::Response& res);
    // Replies with a refusal and returns true unless `code` is empty or reserved and unused.
    bool refuseUnusableCode(const std::string& code, httplib::Response& res);
    void declineAndEnd(const std::string& code, const std::string& reason, httplib::Response& res);

    const SServiceOptions& m_options;
    CStore& m_store;
    CObjectStore& m_pictures;
    CDiskQuota& m_quota;
    CAttemptLimiter& m_checks;
    const std::string& m_publicUrl;
};

} // namespace BL::Server
