#include "server/page_routes.h"

#include "server/attempt_limiter.h"
#include "server/form_tokens.h"
#include "server/http_server.h"
#include "server/pages.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

namespace BL::Server {

namespace {

constexpr std::int64_t sessionLifetimeMs = 30LL * 24 * 60 * 60 * 1000;
const char staleForm[] = "This form has expired. Please send it again.";

} // namespace

CPageRoutes::CPageRoutes(CStore& store, CAttemptLimiter& checks, const CFormTokens& forms,
                         std::string trustedProxy, const std::string& publicUrl)
    : m_store(store), m_checks(checks), m_forms(forms), m_trustedProxy(std::move(trustedProxy)),
      m_publicUrl(publicUrl)
{
}

void CPageRoutes::setSessionCookie(SHttpResponse& res, const std::string& value,
                                   long long maxAgeSeconds) const
{
    // Secure whenever the pages are reached over https: the token must never travel in clear.
    const bool secure = m_publicUrl.rfind("https://", 0) == 0;
    res.setHeader("Set-Cookie", std::string(sessionCookie) + "=" + value +
                                    "; Path=/; HttpOnly; SameSite=Lax" + (secure ? "; Secure" : "") +
                                    "; Max-Age=" + std::to_string(maxAgeSeconds));
}

void CPageRoutes::addTo(CHttpServer& http)
{
    using Request = SHttpRequest;
    using Response = SHttpResponse;
    http.get(
        "/", [](const Request&, Response& res) { replyPage(res, 200, homePage()); });
    http.get("/about", [](const Request&, Response& res) { replyPage(res, 200, aboutPage()); });
    http.get("/signup", routeTo(this, &CPageRoutes::signup));
    http.post("/signup", routeTo(this, &CPageRoutes::signup));
    http.get("/user/history", routeTo(this, &CPageRoutes::history));
    http.post("/user/history", routeTo(this, &CPageRoutes::signIn));
    http.post("/user/signout", routeTo(this, &CPageRoutes::signOut));
    http.get(R"(/([A-Za-z0-9]{1,64}))", routeTo(this, &CPageRoutes::showCode));
}

void CPageRoutes::showCode(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string code = req.matches[1];
    const SCodeInfo info = m_store.lookup(code, nowMs());
    switch (info.state) {
    case ECodeState::Uploaded:
        replyPage(res, 200, picturePage(code, info, m_publicUrl));
        return;
    case ECodeState::Pending:
        replyPage(res, 200, uploadInProgressPage(code));
        return;
    case ECodeState::Failed:
        replyPage(res, 200, uploadFailedPage(code));
        return;
    case ECodeState::Deleted:
        replyPage(res, 410, removedPage());
        return;
    case ECodeState::PictureExpired:
        replyPage(res, 410, expiredPage());
        return;
    case ECodeState::Expired:
    case ECodeState::Unknown:
        break;
    }
    replyNotFound(res);
}

void CPageRoutes::signup(const SHttpRequest& req, SHttpResponse& res)
{
    if (req.method == "GET") {
        replyPage(res, 200, signupPage(std::string(), std::string(), m_forms.issue(req, res)));
        return;
    }
    auto fields = parseForm(std::string(req.body()), true);
    const std::string email = fields["email"].substr(0, 254);
    const auto page = [&](const std::string& message) {
        return signupPage(message, email, m_forms.issue(req, res));
    };
    if (!m_forms.accepts(req, fields)) {
        replyPage(res, 403, page(staleForm));
        return;
    }
    const std::string& password = fields["password"];
    if (!isAcceptableEmail(email)) {
        replyPage(res, 400, page("Please enter a valid e-mail address."));
        return;
    }
    if (password.size() < 6 || password.size() > maxFieldLength) {
        replyPage(res, 400, page("The password must have at least 6 characters."));
        return;
    }
    if (fields.count("password2") && fields["password2"] != password) {
        replyPage(res, 400, page("The two passwords differ."));
        return;
    }
    // The desktop client signs in with exactly this credential: SHA-1 of e-mail then password.
    switch (m_store.createAccount(email, sha1Hex(email + password), nowMs())) {
    case ESignup::Ok:
        break;
    case ESignup::EmailTaken:
        replyPage(res, 409, page("There is already an account for this e-mail address."));
        return;
    case ESignup::CredentialTaken:
        replyPage(res, 409, page("Please choose another password."));
        return;
    }
    replyPage(res, 200, signupDonePage(email));
}

void CPageRoutes::history(const SHttpRequest& req, SHttpResponse& res)
{
    const std::int64_t accountId = signedInAccount(m_store, req);
    if (accountId == 0) {
        replyPage(res, 200, signInPage(std::string(), std::string(), m_forms.issue(req, res)));
        return;
    }
    replyPage(res, 200,
              historyPage(m_store.accountEmail(accountId), m_store.history(accountId, 500, nowMs()),
                          m_store.apiTokens(accountId), m_forms.issue(req, res)));
}

void CPageRoutes::signIn(const SHttpRequest& req, SHttpResponse& res)
{
    auto fields = parseForm(std::string(req.body()), true);
    const std::string email = fields["email"].substr(0, 254);
    const std::string password = fields["password"].substr(0, maxFieldLength);
    const auto page = [&](const std::string& message) {
        return signInPage(message, email, m_forms.issue(req, res));
    };
    const std::string client = clientLimitKey(req, m_trustedProxy);
    const std::int64_t attemptMs = nowMs();
    if (!m_checks.tryAttempt(client, attemptMs)) {
        res.setHeader("Retry-After", "60");
        replyPage(res, 429, page("Too many failed attempts. Please wait a minute."));
        return;
    }
    // A form from elsewhere checked no credential: it does not count as a failure.
    if (!m_forms.accepts(req, fields)) {
        m_checks.forgive(client, attemptMs);
        replyPage(res, 403, page(staleForm));
        return;
    }
    const std::int64_t accountId =
        isAcceptableEmail(email) ? m_store.accountFor(email, sha1Hex(email + password)) : 0;
    if (accountId != 0)
        m_checks.forgive(client, attemptMs);
    if (accountId == 0) {
        replyPage(res, 403, page("The e-mail address or the password is wrong."));
        return;
    }
    const std::string token = randomHex(32);
    m_store.createSession(token, accountId, nowMs() + sessionLifetimeMs);
    setSessionCookie(res, token, sessionLifetimeMs / 1000);
    res.setRedirect("/user/history", 303);
}

void CPageRoutes::signOut(const SHttpRequest& req, SHttpResponse& res)
{
    // Another site must not be able to sign a visitor out.
    if (!m_forms.accepts(req, parseForm(std::string(req.body()), true))) {
        replyPage(res, 403,
                  pageLayout("Sign out",
                             "<div class=\"card\"><h1>Sign out</h1><p class=\"error\">" +
                                 std::string(staleForm) +
                                 "</p><p><a href=\"/user/history\">Back to your uploads</a></p></div>"));
        return;
    }
    const std::string token = cookieValue(req, sessionCookie);
    if (!token.empty())
        m_store.deleteSession(token);
    setSessionCookie(res, std::string(), 0);
    res.setRedirect("/user/history", 303);
}

} // namespace BL::Server
