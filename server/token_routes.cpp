#include "server/token_routes.h"

#include "server/attempt_limiter.h"
#include "server/form_tokens.h"
#include "server/http_server.h"
#include "server/pages.h"
#include "server/route_support.h"
#include "server/share_links.h"
#include "server/store.h"
#include "server/stored_files.h"
#include "server/token_pages.h"
#include "server/upload_intake.h"
#include "server/util.h"

#include <cstdio>

namespace BL::Server {

namespace {

// "blt_" and 48 hexadecimal digits: 192 random bits, and a prefix that secret scanners can find.
constexpr char tokenPrefix[] = "blt_";
constexpr std::size_t tokenLength = 4 + 48;
// Enough for every program one person uses; a form that makes them without end is stopped.
constexpr std::size_t maxTokensPerAccount = 50;

bool isTokenText(const std::string& text)
{
    return text.size() == tokenLength && text.rfind(tokenPrefix, 0) == 0 &&
           text.find_first_not_of("0123456789abcdef", 4) == std::string::npos;
}

// A JSON string, quotes included.
std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The name a person gave a token: control bytes as spaces, trimmed, at most 64 bytes of whole
// UTF-8 characters.
std::string tokenName(const std::string& asked)
{
    std::string name;
    for (const char c : asked.substr(0, 64))
        name.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c);
    if (asked.size() > 64)
        while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xc0) == 0x80)
            name.pop_back();
    if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xc0)
        name.pop_back();
    const std::size_t first = name.find_first_not_of(' ');
    const std::size_t last = name.find_last_not_of(' ');
    name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
    return name.empty() ? std::string("Upload token") : name;
}

} // namespace

CTokenRoutes::CTokenRoutes(const SServiceOptions& options, CStore& store, CObjectStore& pictures,
                           CDiskQuota& quota, CUploadIntake& intake, CAttemptLimiter& checks,
                           const CFormTokens& forms, const std::string& publicUrl)
    : m_options(options), m_store(store), m_pictures(pictures), m_quota(quota), m_intake(intake),
      m_checks(checks), m_forms(forms), m_publicUrl(publicUrl)
{
}

void CTokenRoutes::addTo(CHttpServer& http)
{
    http.post("/user/tokens", routeTo(this, &CTokenRoutes::makeToken));
    http.post("/user/tokens/revoke", routeTo(this, &CTokenRoutes::revokeToken));
    http.post(uploadPath, routeTo(this, &CTokenRoutes::upload));
    http.get(R"(/delete/([A-Za-z0-9]{1,64}))", routeTo(this, &CTokenRoutes::deleteByLink));
    http.post(R"(/delete/([A-Za-z0-9]{1,64}))", routeTo(this, &CTokenRoutes::deleteByLink));
}

void CTokenRoutes::refuseUpload(SHttpResponse& res, int status, const std::string& reason)
{
    replyJson(res, status, "{\"error\":" + jsonString(reason) + "}");
}

std::string CTokenRoutes::uploaderFile(const std::string& name, const std::string& token) const
{
    return "{\n  \"Version\": \"1.0.0\",\n  \"Name\": " + jsonString(name) +
           ",\n  \"DestinationType\": \"ImageUploader\",\n  \"RequestMethod\": \"POST\",\n  "
           "\"RequestURL\": " +
           jsonString(m_publicUrl + uploadPath) +
           ",\n  \"Headers\": {\n    \"Authorization\": " + jsonString("Bearer " + token) +
           "\n  },\n  \"Body\": \"MultipartFormData\",\n  \"FileFormName\": \"file\",\n"
           "  \"URL\": \"{json:url}\",\n  \"ThumbnailURL\": \"{json:thumbnail_url}\",\n"
           "  \"DeletionURL\": \"{json:deletion_url}\",\n  \"ErrorMessage\": \"{json:error}\"\n}\n";
}

void CTokenRoutes::makeToken(const SHttpRequest& req, SHttpResponse& res)
{
    auto fields = parseForm(std::string(req.body()), true);
    const std::int64_t accountId = signedInAccount(m_store, req);
    if (accountId == 0) {
        res.setRedirect("/user/history", 303);
        return;
    }
    // Another site must not be able to make a token it could then not read, nor fill the list.
    if (!m_forms.accepts(req, fields)) {
        replyPage(res, 403, tokenRefusedPage("This form has expired. Please send it again."));
        return;
    }
    if (m_store.apiTokens(accountId).size() >= maxTokensPerAccount) {
        replyPage(res, 409,
                  tokenRefusedPage("You have as many tokens as an account may have. Revoke one first."));
        return;
    }
    const std::string name = tokenName(fields["name"]);
    const std::string token = tokenPrefix + randomHex(24);
    m_store.createApiToken(accountId, token, name, nowMs());
    replyPage(res, 200, tokenMadePage(name, token, uploaderFile(name, token)));
}

void CTokenRoutes::revokeToken(const SHttpRequest& req, SHttpResponse& res)
{
    auto fields = parseForm(std::string(req.body()), true);
    const std::int64_t accountId = signedInAccount(m_store, req);
    if (accountId == 0) {
        res.setRedirect("/user/history", 303);
        return;
    }
    if (!m_forms.accepts(req, fields)) {
        replyPage(res, 403, tokenRefusedPage("This form has expired. Please send it again."));
        return;
    }
    const std::string& id = fields["id"];
    const bool number =
        !id.empty() && id.size() <= 18 && id.find_first_not_of("0123456789") == std::string::npos;
    if (!number || !m_store.revokeApiToken(accountId, std::stoll(id))) {
        replyPage(res, 404, tokenRefusedPage("This token is not one of yours, or it is revoked already."));
        return;
    }
    res.setRedirect("/user/history", 303);
}

void CTokenRoutes::upload(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string authorization = req.header("Authorization");
    const std::string bearer = "Bearer ";
    const std::string token = authorization.rfind(bearer, 0) == 0 ? authorization.substr(bearer.size()) : "";
    const std::string client = clientLimitKey(req, m_options.trustedProxy);
    const std::int64_t attemptMs = nowMs();
    if (!m_checks.tryAttempt(client, attemptMs)) {
        res.setHeader("Retry-After", "60");
        refuseUpload(res, 429, "too many failed attempts");
        return;
    }
    const std::int64_t accountId = isTokenText(token) ? m_store.accountForApiToken(token, attemptMs) : 0;
    if (accountId == 0) {
        res.setHeader("WWW-Authenticate", "Bearer");
        refuseUpload(res, 401,
                     token.empty() ? "an upload token is needed" : "unknown or revoked upload token");
        return;
    }
    m_checks.forgive(client, attemptMs);
    const auto file = req.isMultipart() ? req.files.find("file") : req.files.end();
    if (file == req.files.end()) {
        refuseUpload(res, 400, "expected the picture as the multipart field \"file\"");
        return;
    }
    // A code of its own, so that the deletion link can name its secret.
    const SReservation reservation =
        m_store.reserveCode(nowMs(), m_options.codeLifetimeMs, m_options.maxKeepMs);
    const SUploadOutcome outcome =
        m_intake.store(reservation.secret, accountId, {file->second.content}, std::string(), 100);
    if (!outcome.ok) {
        // In this form a refusal is an HTTP status, as the programs that read it expect.
        const int status = outcome.status != 200                           ? outcome.status
                           : outcome.reason == "file too large"            ? 413
                           : outcome.reason == CUploadIntake::quotaReached ? 507
                                                                           : 400;
        refuseUpload(res, status, outcome.reason);
        return;
    }
    const std::string link = m_publicUrl + "/" + outcome.code;
    replyJson(res, 200,
              "{\"url\":" + jsonString(link) +
                  ",\"thumbnail_url\":" + jsonString(thumbnailUrl(m_publicUrl, outcome.code)) +
                  ",\"deletion_url\":" + jsonString(m_publicUrl + "/delete/" + reservation.secret) + "}");
}

void CTokenRoutes::deleteByLink(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string secret = req.matches[1];
    // A deletion link is as good as a password for its picture: guessing counts as a failed check.
    const std::string client = clientLimitKey(req, m_options.trustedProxy);
    const std::int64_t attemptMs = nowMs();
    if (!m_checks.tryAttempt(client, attemptMs)) {
        res.setHeader("Retry-After", "60");
        replyPage(res, 429, tokenRefusedPage("Too many failed attempts. Please wait a minute."));
        return;
    }
    const SCodeInfo info = m_store.lookupSecret(secret, attemptMs);
    if (info.state != ECodeState::Unknown)
        m_checks.forgive(client, attemptMs);
    if (info.state == ECodeState::Deleted) {
        replyPage(res, 410, removedPage());
        return;
    }
    if (info.state == ECodeState::PictureExpired) {
        replyPage(res, 410, expiredPage());
        return;
    }
    if (info.state != ECodeState::Uploaded) {
        replyNotFound(res);
        return;
    }
    // A link opened (a chat's unfurler, a prefetch) only asks; the button deletes.
    if (req.method == "GET") {
        replyPage(res, 200, confirmDeletionPage(info.code, req.path));
        return;
    }
    const SDeletion deletion = m_store.deleteBySecret(secret, nowMs());
    if (!deletion.ok) {
        replyPage(res, 410, removedPage());
        return;
    }
    removeStoredFiles(m_pictures, m_quota, deletion.files);
    replyPage(res, 200, deletedByLinkPage(info.code));
}

} // namespace BL::Server
