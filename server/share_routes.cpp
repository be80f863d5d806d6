#include "server/share_routes.h"

#include "server/attempt_limiter.h"
#include "server/form_tokens.h"
#include "server/http_server.h"
#include "server/pages.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/stored_files.h"
#include "server/util.h"

namespace BL::Server {

namespace {

// In the desktop client's words, without commas: it shows the reason of a 200 refusal.
const char* refusalOf(ECodeState state)
{
    switch (state) {
    case ECodeState::Deleted:
        return "code already deleted";
    case ECodeState::Expired:
        return "code expired";
    case ECodeState::Failed:
        return "code ended by a failed upload";
    case ECodeState::PictureExpired:
        return "picture expired";
    case ECodeState::Unknown:
    case ECodeState::Pending:
    case ECodeState::Uploaded:
        break;
    }
    return "unknown code";
}

} // namespace

CShareRoutes::CShareRoutes(CStore& store, CObjectStore& pictures, CDiskQuota& quota, CAttemptLimiter& checks,
                           const CFormTokens& forms, std::string trustedProxy)
    : m_store(store), m_pictures(pictures), m_quota(quota), m_checks(checks), m_forms(forms),
      m_trustedProxy(std::move(trustedProxy))
{
}

void CShareRoutes::addTo(CHttpServer& http)
{
    http.post("/api/delete", routeTo(this, &CShareRoutes::deleteBySecret));
    http.post("/user/delete", routeTo(this, &CShareRoutes::deleteOwned));
}

void CShareRoutes::deleteBySecret(const SHttpRequest& req, SHttpResponse& res)
{
    const auto fields = parseForm(std::string(req.body()), false);
    const auto secret = fields.find("code");
    if (secret == fields.end()) {
        refuse(res, 400, "missing code");
        return;
    }
    // A secret is as good as a password for its picture: guessing one counts as a failed check.
    const std::string client = clientLimitKey(req, m_trustedProxy);
    const std::int64_t attemptMs = nowMs();
    if (!m_checks.tryAttempt(client, attemptMs)) {
        refuseTooManyChecks(res);
        return;
    }
    const SDeletion deletion =
        isAlnumText(secret->second, 1, 64) ? m_store.deleteBySecret(secret->second, nowMs()) : SDeletion();
    if (deletion.ok || deletion.refusedIn != ECodeState::Unknown)
        m_checks.forgive(client, attemptMs);
    if (!deletion.ok) {
        decline(res, refusalOf(deletion.refusedIn));
        return;
    }
    removeStoredFiles(m_pictures, m_quota, deletion.files);
    replyJson(res, 200, compactJson({{"status", "ok"}}));
}

void CShareRoutes::deleteOwned(const SHttpRequest& req, SHttpResponse& res)
{
    const auto fields = parseForm(std::string(req.body()), true);
    const std::int64_t accountId = signedInAccount(m_store, req);
    if (accountId == 0) {
        res.setRedirect("/user/history", 303);
        return;
    }
    // Another site must not be able to delete a visitor's pictures.
    if (!m_forms.accepts(req, fields)) {
        replyPage(res, 403, deletionRefusedPage("This form has expired. Please send it again."));
        return;
    }
    const auto code = fields.find("code");
    const SDeletion deletion = code != fields.end() && isAlnumText(code->second, 1, 64)
                                   ? m_store.deleteOwned(code->second, accountId, nowMs())
                                   : SDeletion();
    if (!deletion.ok) {
        replyPage(res, 404, deletionRefusedPage("This upload is not one of yours, or it is gone already."));
        return;
    }
    removeStoredFiles(m_pictures, m_quota, deletion.files);
    res.setRedirect("/user/history", 303);
}

} // namespace BL::Server
