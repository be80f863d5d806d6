#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace BL::Server {

class CStore;

// Form fields and report parameters are short by nature; longer values are cut.
constexpr std::size_t maxFieldLength = 1024;

extern const char sessionCookie[];

// A handler that calls `handler` on `routes`, for registering member functions as routes.
template<class TRoutes>
auto routeTo(TRoutes* routes, void (TRoutes::*handler)(const httplib::Request&, httplib::Response&))
{
    return [routes, handler](const httplib::Request& req, httplib::Response& res) {
        (routes->*handler)(req, res);
    };
}

// A JSON reply that no cache keeps.
void replyJson(httplib::Response& res, int status, const std::string& json);
// {"status":"error","reason":...}, the refusal every API client reads.
void refuse(httplib::Response& res, int status, const std::string& reason);
// The same refusal with status 200, for a well-formed request the desktop client sent: the
// client shows the reason to the person only from a 200 reply (anything else is a "Network
// error"). The reason must have no comma, since the client's reader cuts values at the first.
void decline(httplib::Response& res, const std::string& reason);
// A page with the headers that keep it self-contained: no scripts, no foreign assets, no framing.
void replyPage(httplib::Response& res, int status, const std::string& html);
void replyNotFound(httplib::Response& res);
// 429 with a Retry-After: too many failed credential checks from this address.
void refuseTooManyChecks(httplib::Response& res);

// A text field of a multipart body, cut to maxFieldLength; empty when absent.
std::string multipartText(const httplib::Request& req, const char* name);
std::string cookieValue(const httplib::Request& req, const std::string& name);

// The client's address: the socket's peer, or the last X-Forwarded-For entry when the peer is
// the configured proxy (`trustedProxy`, empty for none).
std::string clientAddress(const httplib::Request& req, const std::string& trustedProxy);

// The account a desktop credential hash names, or 0 for an unknown or malformed one.
std::int64_t accountOfHash(CStore& store, const std::string& hash);
// The account signed in by the request's session cookie, or 0.
std::int64_t signedInAccount(CStore& store, const httplib::Request& req);

} // namespace BL::Server
