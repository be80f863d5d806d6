#include "server/route_support.h"

#include "server/http_server.h"
#include "server/pages.h"
#include "server/store.h"
#include "server/util.h"

namespace BL::Server {

const char sessionCookie[] = "bl_session";

void replyJson(SHttpResponse& res, int status, const std::string& json)
{
    res.status = status;
    res.setHeader("Cache-Control", "no-store");
    res.setContent(json, "application/json");
}

void refuse(SHttpResponse& res, int status, const std::string& reason)
{
    replyJson(res, status, compactJson({{"status", "error"}, {"reason", reason}}));
}

void decline(SHttpResponse& res, const std::string& reason)
{
    refuse(res, 200, reason);
}

void replyPage(SHttpResponse& res, int status, const std::string& html)
{
    res.status = status;
    res.setHeader("Cache-Control", "no-store");
    res.setHeader("X-Content-Type-Options", "nosniff");
    res.setHeader("Content-Security-Policy", "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; "
                                             "form-action 'self'; frame-ancestors 'none'");
    res.setContent(html, "text/html; charset=utf-8");
}

void replyNotFound(SHttpResponse& res)
{
    replyPage(res, 404, notFoundPage());
}

void refuseTooManyChecks(SHttpResponse& res)
{
    refuse(res, 429, "too many failed attempts");
    res.setHeader("Retry-After", "60");
}

std::string multipartText(const SHttpRequest& req, const char* name)
{
    const auto found = req.files.find(name);
    return found == req.files.end() ? std::string()
                                    : std::string(found->second.content.substr(0, maxFieldLength));
}

std::string cookieValue(const SHttpRequest& req, const std::string& name)
{
    for (std::size_t i = 0, n = req.headerCount("Cookie"); i < n; ++i) {
        const std::string header = req.header("Cookie", i);
        std::size_t start = 0;
        while (start < header.size()) {
            std::size_t end = header.find(';', start);
            if (end == std::string::npos)
                end = header.size();
            std::string pair = header.substr(start, end - start);
            pair.erase(0, pair.find_first_not_of(' '));
            if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
                pair[name.size()] == '=')
                return pair.substr(name.size() + 1);
            start = end + 1;
        }
    }
    return {};
}

std::string clientAddress(const SHttpRequest& req, const std::string& trustedProxy)
{
    const std::size_t headers = req.headerCount("X-Forwarded-For");
    if (trustedProxy.empty() || req.remoteAddress != trustedProxy || headers == 0)
        return req.remoteAddress;
    // The proxy appends the address it saw to the last header; anything before it, in that
    // header or in earlier ones, came from the client.
    const std::string forwarded = req.header("X-Forwarded-For", headers - 1);
    const std::size_t comma = forwarded.rfind(',');
    std::string last = forwarded.substr(comma == std::string::npos ? 0 : comma + 1);
    last.erase(0, last.find_first_not_of(" \t"));
    last.erase(last.find_last_not_of(" \t") + 1);
    return last.empty() ? req.remoteAddress : last.substr(0, 64);
}

std::string clientLimitKey(const SHttpRequest& req, const std::string& trustedProxy)
{
    return addressLimitKey(clientAddress(req, trustedProxy));
}

std::int64_t accountOfHash(CStore& store, const std::string& hash)
{
    return isUserHash(hash) ? store.accountForHash(hash) : 0;
}

std::int64_t signedInAccount(CStore& store, const SHttpRequest& req)
{
    const std::string token = cookieValue(req, sessionCookie);
    return isAlnumText(token, 64, 64) ? store.sessionAccount(token, nowMs()) : 0;
}

} // namespace BL::Server
