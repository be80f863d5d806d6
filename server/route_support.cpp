#include "server/route_support.h"

#include "server/pages.h"
#include "server/store.h"
#include "server/util.h"

#include <httplib.h>

namespace BL::Server {

const char sessionCookie[] = "bl_session";

void replyJson(httplib::Response& res, int status, const std::string& json)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& reason)
{
    replyJson(res, status, compactJson({{"status", "error"}, {"reason", reason}}));
}

void decline(httplib::Response& res, const std::string& reason)
{
    refuse(res, 200, reason);
}

void replyPage(httplib::Response& res, int status, const std::string& html)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; "
                   "form-action 'self'; frame-ancestors 'none'");
    res.set_content(html, "text/html; charset=utf-8");
}

void replyNotFound(httplib::Response& res)
{
    replyPage(res, 404, notFoundPage());
}

void refuseTooManyChecks(httplib::Response& res)
{
    refuse(res, 429, "too many failed attempts");
    res.set_header("Retry-After", "60");
}

std::string multipartText(const httplib::Request& req, const char* name)
{
    const auto found = req.files.find(name);
    return found == req.files.end() ? std::string() : found->second.content.substr(0, maxFieldLength);
}

std::string cookieValue(const httplib::Request& req, const std::string& name)
{
    for (std::size_t i = 0, n = req.get_header_value_count("Cookie"); i < n; ++i) {
        const std::string header = req.get_header_value("Cookie", i);
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

std::string clientAddress(const httplib::Request& req, const std::string& trustedProxy)
{
    if (trustedProxy.empty() || req.remote_addr != trustedProxy || !req.has_header("X-Forwarded-For"))
        return req.remote_addr;
    // The proxy appends the address it saw; anything before it came from the client.
    const std::string forwarded = req.get_header_value("X-Forwarded-For");
    std::string last =
        forwarded.substr(forwarded.rfind(',') == std::string::npos ? 0 : forwarded.rfind(',') + 1);
    last.erase(0, last.find_first_not_of(' '));
    last.erase(last.find_last_not_of(' ') + 1);
    return last.empty() ? req.remote_addr : last.substr(0, 64);
}

std::int64_t accountOfHash(CStore& store, const std::string& hash)
{
    return isUserHash(hash) ? store.accountForHash(hash) : 0;
}

std::int64_t signedInAccount(CStore& store, const httplib::Request& req)
{
    const std::string token = cookieValue(req, sessionCookie);
    return isAlnumText(token, 64, 64) ? store.sessionAccount(token, nowMs()) : 0;
}

} // namespace BL::Server
