#pragma once

#include "server/routes.h"

#include <string>

namespace BL::Server {

class CAttemptLimiter;
class CFormTokens;

// The web pages: home and about, sign-up, sign-in with the upload history, and the page of a code.
class CPageRoutes : public CRoutes
{
public:
    // `checks` limits failed sign-ins per client address (behind `trustedProxy`, the forwarded
    // one), shared with the desktop client's check. `publicUrl` (filled when the service binds)
    // decides whether the session cookie is Secure.
    CPageRoutes(CStore& store, CAttemptLimiter& checks, const CFormTokens& forms, std::string trustedProxy,
                const std::string& publicUrl);

    // Adds the code page last: its pattern also matches "/about" and the other one-segment paths.
    void addTo(CHttpServer& http) override;

private:
    void showCode(const SHttpRequest& req, SHttpResponse& res);
    void signup(const SHttpRequest& req, SHttpResponse& res);
    void history(const SHttpRequest& req, SHttpResponse& res);
    void signIn(const SHttpRequest& req, SHttpResponse& res);
    void signOut(const SHttpRequest& req, SHttpResponse& res);
    void setSessionCookie(SHttpResponse& res, const std::string& value, long long maxAgeSeconds) const;

    CStore& m_store;
    CAttemptLimiter& m_checks;
    const CFormTokens& m_forms;
    const std::string m_trustedProxy;
    const std::string& m_publicUrl;
};

} // namespace BL::Server
