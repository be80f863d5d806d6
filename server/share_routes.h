#pragma once

#include "server/routes.h"

#include <string>

namespace BL::Server {

class CAttemptLimiter;
class CDiskQuota;
class CFormTokens;

// Taking uploads back: the desktop client deletes with the secret it uploaded with, the signed-in
// owner from the history page. The pictures' files go, the code's row stays as a tombstone.
class CShareRoutes : public CRoutes
{
public:
    // `checks` counts deletions by unknown secrets per client address (behind `trustedProxy`, the
    // forwarded one), with the other failed credential checks.
    CShareRoutes(CStore& store, CObjectStore& pictures, CDiskQuota& quota, CAttemptLimiter& checks,
                 const CFormTokens& forms, std::string trustedProxy);

    void addTo(CHttpServer& http) override;

private:
    void deleteBySecret(const SHttpRequest& req, SHttpResponse& res);
    void deleteOwned(const SHttpRequest& req, SHttpResponse& res);

    CStore& m_store;
    CObjectStore& m_pictures;
    CDiskQuota& m_quota;
    CAttemptLimiter& m_checks;
    const CFormTokens& m_forms;
    const std::string m_trustedProxy;
};

} // namespace BL::Server
