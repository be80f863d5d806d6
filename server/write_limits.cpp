#include "server/write_limits.h"

#include "server/http_server.h"
#include "server/pages.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/token_routes.h"
#include "server/util.h"

namespace BL::Server {

namespace {

constexpr std::int64_t minuteMs = 60 * 1000;

} // namespace

CWriteLimits::CWriteLimits(const SServiceOptions& options, CStore& store)
    : m_trustedProxy(options.trustedProxy),
      m_reservations(store.makeLimiter("reservations", options.reservationsPerMinute, minuteMs)),
      m_signups(store.makeLimiter("signups", options.signupsPerMinute, minuteMs)),
      m_signIns(store.makeLimiter("sign-ins", options.signInsPerMinute, minuteMs)),
      m_reports(store.makeLimiter("reports", options.reportsPerMinute, minuteMs)),
      m_uploads(store.makeLimiter("uploads", options.uploadsPerMinute, minuteMs)),
      m_fetches(store.makeLimiter("fetches", options.fetchesPerMinute, minuteMs))
{
}

bool CWriteLimits::refuseIfOver(const SHttpRequest& req, SHttpResponse& res)
{
    if (req.method != "POST")
        return false;
    const bool byUrl = req.path == "/api/upload";
    const bool byToken = req.path == CTokenRoutes::uploadPath;
    CAttemptLimiter* limiter = req.path == "/signup"                               ? m_signups.get()
                               : req.path == "/user/history"                       ? m_signIns.get()
                               : req.path == "/report"                             ? m_reports.get()
                               : byUrl || byToken || req.path == "/api/upload.php" ? m_uploads.get()
                                                                                   : nullptr;
    if (!limiter)
        return false;
    // Every request counts: none of these is ever forgiven.
    const std::string key = clientLimitKey(req, m_trustedProxy);
    const std::int64_t now = nowMs();
    if (limiter->tryAttempt(key, now) && (!byUrl || m_fetches->tryAttempt(key, now)))
        return false;
    res.setHeader("Retry-After", "60");
    if (byToken) {
        CTokenRoutes::refuseUpload(res, 429, "too many uploads from this address");
    } else if (limiter == m_uploads.get()) {
        // The desktop client shows the reason of a 200 refusal to the person.
        decline(res, "too many uploads from this address");
    } else if (limiter == m_reports.get()) {
        refuse(res, 429, "too many reports");
    } else {
        replyPage(res, 429,
                  pageLayout("Too many requests",
                             "<div class=\"card\"><h1>Too many requests</h1><p>Please wait "
                             "a minute and try again.</p></div>"));
    }
    return true;
}

int CWriteLimits::allowReservations(const std::string& key, std::int64_t now, int count,
                                    SHttpResponse& refusal)
{
    refusal.setHeader("Retry-After", "60");
    // The desktop client shows the reason of a 200 refusal to the person.
    decline(refusal, "too many reservations from this address");
    return m_reservations->tryAttempts(key, now, count);
}

} // namespace BL::Server
