#pragma once

#include "server/attempt_limiter.h"
#include "server/options.h"
#include "server/routes.h"

#include <memory>

namespace BL::Server {

// Per-address limits on the requests that make anonymous callers write: reservations, uploads
// (and of those, the ones that make the service fetch a URL), sign-ups, sign-ins and crash
// reports. Safe from any thread.
class CWriteLimits
{
public:
    // The counts are kept where `store` keeps them: shared by every node of the service.
    CWriteLimits(const SServiceOptions& options, CStore& store);

    // True, with the refusal in `res`, when the request's address is over its limit; checked
    // before the body is read.
    bool refuseIfOver(const SHttpRequest& req, SHttpResponse& res);
    // Of `count` reservations from the client counted under `key` (its limit key), how many
    // its limit lets in; the refusal for the others goes into `refusal`.
    int allowReservations(const std::string& key, std::int64_t now, int count, SHttpResponse& refusal);

private:
    std::string m_trustedProxy;
    std::unique_ptr<CAttemptLimiter> m_reservations;
    std::unique_ptr<CAttemptLimiter> m_signups;
    std::unique_ptr<CAttemptLimiter> m_signIns;
    std::unique_ptr<CAttemptLimiter> m_reports;
    std::unique_ptr<CAttemptLimiter> m_uploads;
    std::unique_ptr<CAttemptLimiter> m_fetches;
};

} // namespace BL::Server
