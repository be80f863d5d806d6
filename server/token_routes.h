#pragma once

#include "server/options.h"
#include "server/routes.h"

#include <string>

namespace BL::Server {

class CAttemptLimiter;
class CDiskQuota;
class CFormTokens;
class CUploadIntake;

// Uploads from any program: tokens an account makes and revokes on its history page, a plain
// upload endpoint that takes one with `Authorization: Bearer` and answers in the JSON form
// custom-uploader files read, and the deletion link it hands out.
class CTokenRoutes : public CRoutes
{
public:
    // `checks` counts unknown tokens and deletion links per client address, with the other failed
    // credential checks. `publicUrl` is read at each request.
    CTokenRoutes(const SServiceOptions& options, CStore& store, CObjectStore& pictures, CDiskQuota& quota,
                 CUploadIntake& intake, CAttemptLimiter& checks, const CFormTokens& forms,
                 const std::string& publicUrl);

    void addTo(CHttpServer& http) override;

    // The path of the plain upload endpoint; its replies and refusals are JSON of its own form.
    static constexpr const char* uploadPath = "/api/pictures";
    // {"error": reason}, the refusal form of the plain upload endpoint.
    static void refuseUpload(SHttpResponse& res, int status, const std::string& reason);

private:
    void makeToken(const SHttpRequest& req, SHttpResponse& res);
    void revokeToken(const SHttpRequest& req, SHttpResponse& res);
    void upload(const SHttpRequest& req, SHttpResponse& res);
    void deleteByLink(const SHttpRequest& req, SHttpResponse& res);
    std::string uploaderFile(const std::string& name, const std::string& token) const;

    const SServiceOptions& m_options;
    CStore& m_store;
    CObjectStore& m_pictures;
    CDiskQuota& m_quota;
    CUploadIntake& m_intake;
    CAttemptLimiter& m_checks;
    const CFormTokens& m_forms;
    const std::string& m_publicUrl;
};

} // namespace BL::Server
