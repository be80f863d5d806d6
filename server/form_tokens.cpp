#include "server/form_tokens.h"

#include "server/http_server.h"
#include "server/route_support.h"
#include "server/util.h"

#include <openssl/crypto.h>

namespace BL::Server {

const char formTokenField[] = "csrf";

namespace {

const char formCookie[] = "bl_form";
constexpr std::size_t nonceLength = 32;

} // namespace

CFormTokens::CFormTokens(CHashKey key, const std::string& publicUrl)
    : m_key(std::move(key)), m_publicUrl(publicUrl)
{
}

std::string CFormTokens::tokenFor(const std::string& nonce) const
{
    // A prefix of its own keeps these apart from the stored credential hashes keyed alike.
    return m_key.keyed("form-token:" + nonce);
}

std::string CFormTokens::issue(const SHttpRequest& req, SHttpResponse& res) const
{
    std::string nonce = cookieValue(req, formCookie);
    if (!isAlnumText(nonce, nonceLength, nonceLength)) {
        nonce = randomAlnum(nonceLength);
        const bool secure = m_publicUrl.rfind("https://", 0) == 0;
        res.setHeader("Set-Cookie", std::string(formCookie) + "=" + nonce +
                                        "; Path=/; HttpOnly; SameSite=Lax" + (secure ? "; Secure" : ""));
    }
    return tokenFor(nonce);
}

bool CFormTokens::accepts(const SHttpRequest& req, const std::map<std::string, std::string>& fields) const
{
    const std::string nonce = cookieValue(req, formCookie);
    const auto sent = fields.find(formTokenField);
    if (!isAlnumText(nonce, nonceLength, nonceLength) || sent == fields.end())
        return false;
    const std::string expected = tokenFor(nonce);
    return sent->second.size() == expected.size() &&
           CRYPTO_memcmp(sent->second.data(), expected.data(), expected.size()) == 0;
}

} // namespace BL::Server
