#pragma once

#include "server/attempt_limiter.h"
#include "server/options.h"
#include "server/routes.h"

namespace BL::Server {

// Per-address limits on the requests that make anonymous callers write: reservations,
// sign-ups, sign-ins and crash reports. Safe from any thread.
class CWriteLimits
{
public:
    explicit CWriteLimits(const SServiceOptions& options);

    // True, with the refusal in `res`, when the request's address is over its limit; checked
    // before the body is read.
    bool refuseIfOver(const httplib::Request& req, httplib::Response& res);

private:
    std::string m_trustedProxy;
    CAttemptLimiter m_reservations;
    CAttemptLimiter m_signups;
    CAttemptLimiter m_signIns;
    CAttemptLimiter m_reports;
};

} // namespace BL::Server
