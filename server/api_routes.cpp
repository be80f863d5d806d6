#include "server/api_routes.h"

#include "server/attempt_limiter.h"
#include "server/fetch.h"
#include "server/http_server.h"
#include "server/reservation_batcher.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/upload_intake.h"
#include "server/util.h"

#include <algorithm>
#include <cstdio>
#include <regex>

namespace BL::Server {

namespace {

// The client's compact form of an upload's outcome: its link, or the reason it was refused.
void replyOutcome(SHttpResponse& res, const SUploadOutcome& outcome, const std::string& publicUrl)
{
    if (outcome.ok)
        replyJson(res, 200, compactJson({{"status", "ok"}, {"url", publicUrl + "/" + outcome.code}}));
    else if (outcome.status != 200)
        refuse(res, outcome.status, outcome.reason);
    else
        decline(res, outcome.reason);
}

// How long the pictures of a reservation that asked to keep them for `seconds` (0: for good) are
// kept under the service's cap `maxKeepMs` (0: none); false for a value that is no number of
// seconds.
bool keptFor(const std::string& seconds, std::int64_t maxKeepMs, std::int64_t* keepForMs)
{
    // Ten digits: over three centuries, far from overflowing in milliseconds.
    if (seconds.empty() || seconds.size() > 10 ||
        seconds.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::int64_t asked = std::stoll(seconds) * 1000;
    *keepForMs = asked == 0 ? maxKeepMs : maxKeepMs == 0 ? asked : std::min(asked, maxKeepMs);
    return true;
}

// The device pixel ratio of the screen a picture was taken on, "1" to "4" with at most two
// decimals, in percent; false for anything else.
bool scaleOf(const std::string& text, int* percent)
{
    static const std::regex ratio(R"(([1-4])(?:\.([0-9]{1,2}))?)");
    std::smatch match;
    if (!std::regex_match(text, match, ratio))
        return false;
    std::string hundredths = match[2].str();
    hundredths.resize(2, '0');
    *percent = std::stoi(match[1].str()) * 100 + std::stoi(hundredths);
    return *percent <= 400;
}

// The fields of the URL upload form. The desktop client writes the URL unescaped, so an "&"
// inside it cannot be told from a field separator by the usual rules; it appends "hash" and
// "code" after the URL, so those are taken from the end and everything from "url=" on is the URL.
std::map<std::string, std::string> parseUrlUploadForm(const std::string& body)
{
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        segments.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    std::map<std::string, std::string> fields;
    while (!segments.empty()) {
        const std::string& last = segments.back();
        const std::string key = last.substr(0, last.find('='));
        if ((key != "hash" && key != "code") || fields.count(key) || last.find('=') == std::string::npos)
            break;
        fields[key] = percentDecode(last.substr(key.size() + 1), false);
        segments.pop_back();
    }
    std::string url;
    bool inUrl = false;
    for (const std::string& segment : segments) {
        if (!inUrl && segment.rfind("url=", 0) == 0) {
            inUrl = true;
            url = segment.substr(4);
        } else if (inUrl) {
            url += "&" + segment;
        } else {
            const std::size_t eq = segment.find('=');
            if (eq != std::string::npos) {
                fields.emplace(percentDecode(segment.substr(0, eq), false),
                               percentDecode(segment.substr(eq + 1), false));
            }
        }
    }
    if (inUrl)
        fields["url"] = percentDecode(url, false);
    return fields;
}

} // namespace

CApiRoutes::CApiRoutes(const SServiceOptions& options, CStore& store, CUploadIntake& intake,
                       CAttemptLimiter& checks, CWriteLimits& limits, const std::string& publicUrl)
    : m_options(options), m_store(store), m_intake(intake), m_checks(checks), m_publicUrl(publicUrl),
      m_reservations(std::make_unique<CReservationBatcher>(store, limits, options.codeLifetimeMs, publicUrl))
{
}

CApiRoutes::~CApiRoutes() = default;

void CApiRoutes::addTo(CHttpServer& http)
{
    http.post("/api/check_hash", routeTo(this, &CApiRoutes::checkHash));
    // Reservations come in bursts and do nothing but write a row: they are committed together.
    http.routeAsync("POST", "/api/reserve_code", [this](const SHttpRequest& req, CHttpServer::FReply reply) {
        const auto fields = parseForm(std::string(req.body()), false);
        const auto expires = fields.find("expires");
        std::int64_t keepForMs = m_options.maxKeepMs;
        if (expires != fields.end() && !keptFor(expires->second, m_options.maxKeepMs, &keepForMs)) {
            SHttpResponse res;
            decline(res, "bad expiry");
            reply(std::move(res));
            return;
        }
        m_reservations->reserve(clientLimitKey(req, m_options.trustedProxy), keepForMs,
                                expires != fields.end(), std::move(reply));
    });
    http.post("/api/upload.php", routeTo(this, &CApiRoutes::uploadFiles));
    http.post("/api/upload", routeTo(this, &CApiRoutes::uploadUrl));
}

void CApiRoutes::checkHash(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string client = clientLimitKey(req, m_options.trustedProxy);
    const std::int64_t attemptMs = nowMs();
    if (!m_checks.tryAttempt(client, attemptMs)) {
        refuseTooManyChecks(res);
        return;
    }
    const auto fields = parseForm(std::string(req.body()), false);
    const auto hash = fields.find("hash");
    if (hash == fields.end()) {
        replyJson(res, 400, compactJson({{"exists", "false"}}));
        return;
    }
    const bool exists = accountOfHash(m_store, hash->second) != 0;
    if (exists)
        m_checks.forgive(client, attemptMs);
    replyJson(res, 200, compactJson({{"exists", exists ? "true" : "false"}}));
}

void CApiRoutes::uploadFiles(const SHttpRequest& req, SHttpResponse& res)
{
    if (!req.isMultipart()) {
        refuse(res, 400, "expected multipart form data");
        return;
    }
    const auto first = req.files.find("upload-file");
    if (first == req.files.end()) {
        refuse(res, 400, "missing upload-file");
        return;
    }
    const auto second = req.files.find("upload-file2");
    std::vector<std::string_view> pictureData{first->second.content};
    if (second != req.files.end())
        pictureData.push_back(second->second.content);
    const std::string code = multipartText(req, "code");
    int scalePercent = 100;
    if (req.hasFile("scale") && !scaleOf(multipartText(req, "scale"), &scalePercent)) {
        replyOutcome(res, m_intake.declineAndEnd(code, "bad scale"), m_publicUrl);
        return;
    }
    replyOutcome(res,
                 m_intake.store(code, accountOfHash(m_store, multipartText(req, "hash")), pictureData,
                                std::string(), scalePercent),
                 m_publicUrl);
}

void CApiRoutes::uploadUrl(const SHttpRequest& req, SHttpResponse& res)
{
    const auto fields = parseUrlUploadForm(std::string(req.body()));
    const auto value = [&fields](const char* key) {
        const auto found = fields.find(key);
        return found == fields.end() ? std::string() : found->second;
    };
    const std::string url = value("url");
    if (url.empty()) {
        refuse(res, 400, "missing url");
        return;
    }
    const std::string code = value("code");
    // Refuse a bad code before spending a fetch on it; the claim itself comes after.
    if (const SUploadOutcome usable = m_intake.checkUsable(code); !usable.ok) {
        replyOutcome(res, usable, m_publicUrl);
        return;
    }
    if (m_intake.full()) {
        replyOutcome(res, m_intake.declineAndEnd(code, CUploadIntake::quotaReached), m_publicUrl);
        return;
    }
    SFetchOptions fetchOptions;
    fetchOptions.allowPrivate = m_options.allowPrivateFetch;
    fetchOptions.maxBytes = m_options.maxUploadBytes;
    fetchOptions.timeoutMs = m_options.fetchTimeoutMs;
    const SFetchResult fetched = fetchUrl(url, fetchOptions);
    if (!fetched.ok) {
        replyOutcome(res, m_intake.declineAndEnd(code, fetched.reason), m_publicUrl);
        return;
    }
    const std::vector<std::string_view> pictureData{fetched.body};
    replyOutcome(
        res,
        m_intake.store(code, accountOfHash(m_store, value("hash")), pictureData, url.substr(0, 2048), 100),
        m_publicUrl);
}

} // namespace BL::Server
