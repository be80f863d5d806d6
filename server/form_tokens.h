#pragma once

#include "server/hash_key.h"
#include "server/http_message.h"

#include <map>
#include <string>

namespace BL::Server {

// Tokens that tie the sign-in, sign-out and sign-up forms to the browser that loaded them, so
// that another site cannot make a visitor's browser post them. The browser gets a random form
// cookie; each form carries HMAC(service secret, cookie), which another site can neither read
// nor compute. Nothing is kept on the service: any node with the same secret checks it.
class CFormTokens
{
public:
    // `publicUrl` (filled when the service binds) decides whether the cookie is Secure.
    CFormTokens(CHashKey key, const std::string& publicUrl);

    // The token for the forms of the page answering `req`; gives the browser its form cookie in
    // `res` when the request came without a usable one.
    std::string issue(const SHttpRequest& req, SHttpResponse& res) const;
    // True when the posted `fields` carry the token of the request's form cookie.
    bool accepts(const SHttpRequest& req, const std::map<std::string, std::string>& fields) const;

private:
    std::string tokenFor(const std::string& nonce) const;

    CHashKey m_key;
    const std::string& m_publicUrl;
};

// The name of the hidden field of every form that carries the token.
extern const char formTokenField[];

} // namespace BL::Server
