#pragma once

#include "server/http_message.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace BL::Server {

class CStore;

// Form fields and report parameters are short by nature; longer values are cut.
constexpr std::size_t maxFieldLength = 1024;

extern const char sessionCookie[];

// A handler that calls `handler` on `routes`, for registering member functions as routes.
template<class TRoutes>
auto routeTo(TRoutes* routes, void (TRoutes::*handler)(const SHttpRequest&, SHttpResponse&))
{
    return [routes, handler](const SHttpRequest& req, SHttpResponse& res) { (routes->*handler)(req, res); };
}

// A JSON reply that no cache keeps.
void replyJson(SHttpResponse& res, int status, const std::string& json);
// {"status":"error","reason":...}, the refusal every API client reads.
void refuse(SHttpResponse& res, int status, const std::string& reason);
// The same refusal with status 200, for a well-formed request the desktop client sent: the
// client shows the reason to the person only from a 200 reply (anything else is a "Network
// error"). The reason must have no comma, since the client's reader cuts values at the first.
void decline(SHttpResponse& res, const std::string& reason);
// A page with the headers that keep it self-contained: no scripts, no foreign assets, no framing.
void replyPage(SHttpResponse& res, int status, const std::string& html);
void replyNotFound(SHttpResponse& res);
// 429 with a Retry-After: too many failed credential checks from this address.
void refuseTooManyChecks(SHttpResponse& res);

// A text field of a multipart body, cut to maxFieldLength; empty when absent.
std::string multipartText(const SHttpRequest& req, const char* name);
std::string cookieValue(const SHttpRequest& req, const std::string& name);

// The client's address: the socket's peer, or the last X-Forwarded-For entry when the peer is
// the configured proxy (`trustedProxy`, empty for none).
std::string clientAddress(const SHttpRequest& req, const std::string& trustedProxy);
// The key the client's requests are counted under by the per-address limits: its address, or
// for IPv6 its /64, so that moving within the block a subscriber holds does not escape them.
std::string clientLimitKey(const SHttpRequest& req, const std::string& trustedProxy);

// The account a desktop credential hash names, or 0 for an unknown or malformed one.
std::int64_t accountOfHash(CStore& store, const std::string& hash);
// The account signed in by the request's session cookie, or 0.
std::int64_t signedInAccount(CStore& store, const SHttpRequest& req);

} // namespace BL::Server
