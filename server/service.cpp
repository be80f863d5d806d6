#include "server/service.h"

#include "server/fetch.h"
#include "server/files.h"
#include "server/image_check.h"
#include "server/pages.h"
#include "server/store.h"
#include "server/util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <httplib.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>

namespace BL::Server {

// The HTTP layer listens with a backlog of 5, so a burst of clients connecting at once overflows
// the accept queue and loses connections; the socket is re-listened with a deeper queue.
class CHttpServer : public httplib::Server
{
public:
    void deepenBacklog() { ::listen(svr_sock_, 1024); }
};

namespace {

const char sessionCookie[] = "bl_session";
constexpr std::int64_t sessionLifetimeMs = 30LL * 24 * 60 * 60 * 1000;
// Form fields and report parameters are short by nature; longer values are cut.
constexpr std::size_t maxFieldLength = 1024;

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

const char* reasonForStatus(int status)
{
    switch (status) {
    case 400:
        return "bad request";
    case 404:
        return "not found";
    case 405:
        return "method not allowed";
    case 413:
        return "request too large";
    case 414:
        return "request line too long";
    case 415:
        return "unsupported media type";
    default:
        return status >= 500 ? "internal error" : "request refused";
    }
}

void refuseCode(httplib::Response& res, ECodeState state)
{
    switch (state) {
    case ECodeState::Uploaded:
        refuse(res, 409, "code already used");
        return;
    case ECodeState::Expired:
        refuse(res, 410, "code expired");
        return;
    case ECodeState::Unknown:
    case ECodeState::Pending:
        break;
    }
    refuse(res, 404, "unknown code");
}

std::string multipartText(const httplib::Request& req, const char* name)
{
    const auto found = req.files.find(name);
    return found == req.files.end() ? std::string() : found->second.content.substr(0, maxFieldLength);
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
        if (end == std::string::npos) {
            end = body.size();
        }
        segments.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    std::map<std::string, std::string> fields;
    while (!segments.empty()) {
        const std::string& last = segments.back();
        const std::string key = last.substr(0, last.find('='));
        if ((key != "hash" && key != "code") || fields.count(key) || last.find('=') == std::string::npos) {
            break;
        }
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
    if (inUrl) {
        fields["url"] = percentDecode(url, false);
    }
    return fields;
}

std::string cookieValue(const httplib::Request& req, const std::string& name)
{
    for (std::size_t i = 0, n = req.get_header_value_count("Cookie"); i < n; ++i) {
        const std::string header = req.get_header_value("Cookie", i);
        std::size_t start = 0;
        while (start < header.size()) {
            std::size_t end = header.find(';', start);
            if (end == std::string::npos) {
                end = header.size();
            }
            std::string pair = header.substr(start, end - start);
            pair.erase(0, pair.find_first_not_of(' '));
            if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
                pair[name.size()] == '=') {
                return pair.substr(name.size() + 1);
            }
            start = end + 1;
        }
    }
    return {};
}

bool readWholeFile(const std::string& path, std::string* data)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        return false;
    }
    data->clear();
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        data->append(buffer, got);
    }
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

} // namespace

std::string defaultDataDir()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') {
        return std::string(xdg) + "/brightloom-server";
    }
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/brightloom-server";
}

CService::CService(SServiceOptions options) : opts(std::move(options)), http(std::make_unique<CHttpServer>())
{
    if (opts.dataDir.empty()) {
        opts.dataDir = defaultDataDir();
    }
    while (opts.publicUrl.size() > 1 && opts.publicUrl.back() == '/') {
        opts.publicUrl.pop_back();
    }
    if (!opts.publicUrl.empty() &&
        (jsonSafe(opts.publicUrl) != opts.publicUrl || opts.publicUrl.find(' ') != std::string::npos ||
         (opts.publicUrl.rfind("http://", 0) != 0 && opts.publicUrl.rfind("https://", 0) != 0))) {
        throw std::runtime_error(
            "the public URL must be an http or https URL without blanks, quotes, commas, "
            "braces or backslashes");
    }
    makeDirectories(opts.dataDir);
    makeDirectories(opts.dataDir + "/appcast");
    db = std::make_unique<CStore>(opts.dataDir + "/brightloom.db");
    pictures = std::make_unique<CDurableDirectory>(opts.dataDir + "/pictures");
    reports = std::make_unique<CDurableDirectory>(opts.dataDir + "/reports");

    const int threads = opts.threads > 0
                            ? opts.threads
                            : static_cast<int>(std::max(32u, 8 * std::thread::hardware_concurrency()));
    http->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    // Room for two full-size pictures plus the multipart framing around them.
    http->set_payload_max_length(2 * opts.maxUploadBytes + 64 * 1024);
    // Replies go out as header and body writes; without this, Nagle holds the second one back.
    http->set_tcp_nodelay(true);
    http->set_keep_alive_max_count(1000);
    http->set_keep_alive_timeout(3);
    http->set_read_timeout(10);
    http->set_write_timeout(10);
    registerRoutes();
}

CService::~CService() = default;

int CService::bind()
{
    int port = opts.listenPort;
    if (port == 0) {
        port = http->bind_to_any_port(opts.listenHost);
    } else if (!http->bind_to_port(opts.listenHost, port)) {
        port = -1;
    }
    if (port <= 0) {
        throw std::runtime_error("cannot listen on " + opts.listenHost + ":" +
                                 std::to_string(opts.listenPort));
    }
    http->deepenBacklog();
    if (opts.publicUrl.empty()) {
        const bool v6 = opts.listenHost.find(':') != std::string::npos;
        baseUrl =
            "http://" + (v6 ? "[" + opts.listenHost + "]" : opts.listenHost) + ":" + std::to_string(port);
    } else {
        baseUrl = opts.publicUrl;
    }
    return port;
}

void CService::run()
{
    http->listen_after_bind();
}

void CService::stop()
{
    http->stop();
}

void CService::registerRoutes()
{
    using httplib::Request;
    using httplib::Response;
    const auto bindTo = [this](void (CService::*handler)(const Request&, Response&)) {
        return [this, handler](const Request& req, Response& res) { (this->*handler)(req, res); };
    };

    http->Post("/api/check_hash", bindTo(&CService::checkHash));
    http->Post("/api/reserve_code", bindTo(&CService::reserveCode));
    http->Post("/api/upload.php", bindTo(&CService::uploadFiles));
    http->Post("/api/upload", bindTo(&CService::uploadUrl));
    http->Get("/", [](const Request&, Response& res) { replyPage(res, 200, homePage()); });
    http->Get("/about", [](const Request&, Response& res) { replyPage(res, 200, aboutPage()); });
    http->Get("/signup", bindTo(&CService::signup));
    http->Post("/signup", bindTo(&CService::signup));
    http->Get("/user/history", bindTo(&CService::history));
    http->Post("/user/history", bindTo(&CService::signIn));
    http->Post("/user/signout", bindTo(&CService::signOut));
    http->Post("/report", bindTo(&CService::receiveReport));
    http->Get(R"(/desktop/updates/([A-Za-z0-9_-]{1,32}))", bindTo(&CService::appcast));
    http->Get(R"(/([A-Za-z0-9]{1,64})(-2)?\.(png|jpg))", bindTo(&CService::servePicture));
    http->Get(R"(/([A-Za-z0-9]{1,64}))", bindTo(&CService::showCode));

    // Replies the handlers left empty (unknown paths, refusals by the HTTP layer such as a
    // malformed multipart body or an oversize request) still carry a readable body.
    http->set_error_handler(httplib::Server::HandlerWithResponse([](const Request& req, Response& res) {
        if (!res.body.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (req.path.rfind("/api/", 0) == 0 || req.method != "GET") {
            refuse(res, res.status, reasonForStatus(res.status));
        } else if (res.status == 404) {
            replyPage(res, 404, notFoundPage());
        } else {
            replyPage(res, res.status,
                      pageLayout("Error", std::string("<div class=\"card\"><h1>") +
                                              reasonForStatus(res.status) + "</h1></div>"));
        }
        return httplib::Server::HandlerResponse::Handled;
    }));
    http->set_exception_handler([](const Request& req, Response& res, std::exception_ptr error) {
        std::string what = "unknown exception";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "error: %s %s: %s\n", req.method.c_str(), printable(req.path, 200).c_str(),
                     what.c_str());
        refuse(res, 500, "internal error");
    });
    if (opts.accessLog) {
        http->set_logger([](const Request& req, const Response& res) {
            const std::string line = formatUtc(nowMs()) + " " + req.remote_addr + " \"" +
                                     printable(req.method, 16) + " " + printable(req.path, 200) + "\" " +
                                     std::to_string(res.status) + " " + std::to_string(res.body.size()) +
                                     "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        });
    }
}

void CService::checkHash(const httplib::Request& req, httplib::Response& res)
{
    const auto fields = parseForm(req.body, false);
    const auto hash = fields.find("hash");
    if (hash == fields.end()) {
        replyJson(res, 400, compactJson({{"exists", "false"}}));
        return;
    }
    const bool exists = isUserHash(hash->second) && db->accountForHash(hash->second) != 0;
    replyJson(res, 200, compactJson({{"exists", exists ? "true" : "false"}}));
}

void CService::reserveCode(const httplib::Request&, httplib::Response& res)
{
    const std::string code = db->reserveCode(nowMs(), opts.codeLifetimeMs);
    replyJson(res, 200, compactJson({{"status", "ok"}, {"code", code}, {"url", baseUrl + "/" + code}}));
}

void CService::uploadFiles(const httplib::Request& req, httplib::Response& res)
{
    if (!req.is_multipart_form_data()) {
        refuse(res, 400, "expected multipart form data");
        return;
    }
    const auto first = req.files.find("upload-file");
    if (first == req.files.end()) {
        refuse(res, 400, "missing upload-file");
        return;
    }
    const auto second = req.files.find("upload-file2");
    const std::string* const pictureData[2] = {&first->second.content,
                                               second == req.files.end() ? nullptr : &second->second.content};
    finishUpload(multipartText(req, "code"), multipartText(req, "hash"), pictureData, std::string(), res);
}

void CService::uploadUrl(const httplib::Request& req, httplib::Response& res)
{
    const auto fields = parseUrlUploadForm(req.body);
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
    if (refuseUnusableCode(code, res)) {
        return;
    }
    SFetchOptions fetchOptions;
    fetchOptions.allowPrivate = opts.allowPrivateFetch;
    fetchOptions.maxBytes = opts.maxUploadBytes;
    fetchOptions.timeoutMs = opts.fetchTimeoutMs;
    const SFetchResult fetched = fetchUrl(url, fetchOptions);
    if (!fetched.ok) {
        refuse(res, fetched.status, fetched.reason);
        return;
    }
    const std::string* const pictureData[2] = {&fetched.body, nullptr};
    finishUpload(code, value("hash"), pictureData, url.substr(0, 2048), res);
}

bool CService::refuseUnusableCode(const std::string& code, httplib::Response& res)
{
    if (code.empty()) {
        return false;
    }
    const ECodeState state = isAlnumText(code, 1, 64) ? db->lookup(code, nowMs()).state : ECodeState::Unknown;
    if (state == ECodeState::Pending) {
        return false;
    }
    refuseCode(res, state);
    return true;
}

void CService::finishUpload(const std::string& code, const std::string& hash,
                            const std::string* const pictureData[2], const std::string& sourceUrl,
                            httplib::Response& res)
{
    // An early check saves decoding and writing for a code that cannot be claimed.
    if (refuseUnusableCode(code, res)) {
        return;
    }
    std::vector<EImageType> types;
    for (int i = 0; i < 2 && pictureData[i]; ++i) {
        if (pictureData[i]->size() > opts.maxUploadBytes) {
            refuse(res, 413, "file too large");
            return;
        }
        const EImageType type = decodableImageType(*pictureData[i]);
        if (type == EImageType::None) {
            refuse(res, 415, "not a PNG or JPEG image");
            return;
        }
        types.push_back(type);
    }
    const std::int64_t accountId = isUserHash(hash) ? db->accountForHash(hash) : 0;

    // Files first, durably; only then the row that names them.
    std::vector<SPictureFile> files;
    const auto removeWritten = [&] {
        for (const SPictureFile& file : files) {
            pictures->remove(file.name);
        }
    };
    for (std::size_t i = 0; i < types.size(); ++i) {
        SPictureFile file{randomHex(12) + "." + fileExtension(types[i]), mimeType(types[i])};
        std::string error;
        if (!pictures->write(file.name, *pictureData[i], &error)) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            removeWritten();
            refuse(res, 500, "storage failed");
            return;
        }
        files.push_back(file);
    }
    std::string usedCode;
    EClaim claim = EClaim::Unknown;
    try {
        claim = db->storeUpload(code, nowMs(), accountId, files, sourceUrl, &usedCode);
    } catch (...) {
        removeWritten();
        throw;
    }
    if (claim != EClaim::Ok) {
        removeWritten();
        refuseCode(res, claim == EClaim::Used      ? ECodeState::Uploaded
                        : claim == EClaim::Expired ? ECodeState::Expired
                                                   : ECodeState::Unknown);
        return;
    }
    replyJson(res, 200, compactJson({{"status", "ok"}, {"url", baseUrl + "/" + usedCode}}));
}

void CService::showCode(const httplib::Request& req, httplib::Response& res)
{
    const std::string code = req.matches[1];
    const SCodeInfo info = db->lookup(code, nowMs());
    switch (info.state) {
    case ECodeState::Uploaded:
        replyPage(res, 200, picturePage(code, static_cast<int>(info.files.size()), info.uploadedMs));
        return;
    case ECodeState::Pending:
        replyPage(res, 200, uploadInProgressPage(code));
        return;
    case ECodeState::Expired:
    case ECodeState::Unknown:
        break;
    }
    replyPage(res, 404, notFoundPage());
}

void CService::servePicture(const httplib::Request& req, httplib::Response& res)
{
    const std::string code = req.matches[1];
    const std::size_t index = req.matches[2].matched ? 1 : 0;
    const SCodeInfo info = db->lookup(code, nowMs());
    std::string data;
    if (info.state != ECodeState::Uploaded || index >= info.files.size() ||
        !pictures->read(info.files[index].name, &data)) {
        replyPage(res, 404, notFoundPage());
        return;
    }
    res.set_header("Cache-Control", "public, max-age=31536000, immutable");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(std::move(data), info.files[index].mime.c_str());
}

void CService::signup(const httplib::Request& req, httplib::Response& res)
{
    if (req.method == "GET") {
        replyPage(res, 200, signupPage(std::string(), std::string()));
        return;
    }
    auto fields = parseForm(req.body, true);
    const std::string email = fields["email"].substr(0, 254);
    const std::string& password = fields["password"];
    if (!isAcceptableEmail(email)) {
        replyPage(res, 400, signupPage("Please enter a valid e-mail address.", email));
        return;
    }
    if (password.size() < 6 || password.size() > maxFieldLength) {
        replyPage(res, 400, signupPage("The password must have at least 6 characters.", email));
        return;
    }
    if (fields.count("password2") && fields["password2"] != password) {
        replyPage(res, 400, signupPage("The two passwords differ.", email));
        return;
    }
    // The desktop client signs in with exactly this credential: SHA-1 of e-mail then password.
    switch (db->createAccount(email, sha1Hex(email + password), nowMs())) {
    case ESignup::Ok:
        break;
    case ESignup::EmailTaken:
        replyPage(res, 409, signupPage("There is already an account for this e-mail address.", email));
        return;
    case ESignup::CredentialTaken:
        replyPage(res, 409, signupPage("Please choose another password.", email));
        return;
    }
    replyPage(res, 200, signupDonePage(email));
}

std::int64_t CService::signedInAccount(const httplib::Request& req)
{
    const std::string token = cookieValue(req, sessionCookie);
    return isAlnumText(token, 64, 64) ? db->sessionAccount(token, nowMs()) : 0;
}

void CService::history(const httplib::Request& req, httplib::Response& res)
{
    const std::int64_t accountId = signedInAccount(req);
    if (accountId == 0) {
        replyPage(res, 200, signInPage(std::string(), std::string()));
        return;
    }
    replyPage(res, 200, historyPage(db->accountEmail(accountId), db->history(accountId, 500)));
}

void CService::signIn(const httplib::Request& req, httplib::Response& res)
{
    auto fields = parseForm(req.body, true);
    const std::string email = fields["email"].substr(0, 254);
    const std::string password = fields["password"].substr(0, maxFieldLength);
    const std::int64_t accountId =
        isAcceptableEmail(email) ? db->accountFor(email, sha1Hex(email + password)) : 0;
    if (accountId == 0) {
        replyPage(res, 403, signInPage("The e-mail address or the password is wrong.", email));
        return;
    }
    const std::string token = randomHex(32);
    db->createSession(token, accountId, nowMs() + sessionLifetimeMs);
    res.set_header("Set-Cookie", std::string(sessionCookie) + "=" + token +
                                     "; Path=/; HttpOnly; SameSite=Lax; Max-Age=" +
                                     std::to_string(sessionLifetimeMs / 1000));
    res.set_redirect("/user/history", 303);
}

void CService::signOut(const httplib::Request& req, httplib::Response& res)
{
    const std::string token = cookieValue(req, sessionCookie);
    if (!token.empty()) {
        db->deleteSession(token);
    }
    res.set_header("Set-Cookie", std::string(sessionCookie) + "=; Path=/; HttpOnly; SameSite=Lax; Max-Age=0");
    res.set_redirect("/user/history", 303);
}

void CService::receiveReport(const httplib::Request& req, httplib::Response& res)
{
    if (!req.is_multipart_form_data()) {
        refuse(res, 400, "expected multipart form data");
        return;
    }
    const httplib::MultipartFormData* dump = nullptr;
    for (const auto& part : req.files) {
        if (!part.second.filename.empty()) {
            dump = &part.second;
            break;
        }
    }
    if (!dump || dump->content.empty()) {
        refuse(res, 400, "missing dump file");
        return;
    }
    if (dump->content.size() > opts.maxUploadBytes) {
        refuse(res, 413, "file too large");
        return;
    }
    SReport report;
    report.id = randomAlnum(16);
    report.osType = multipartText(req, "os_type");
    report.buildHostUser = multipartText(req, "build_host_user");
    report.version = multipartText(req, "ver");
    report.email = multipartText(req, "email");
    report.fileName = report.id + ".dmp";
    std::string error;
    if (!reports->write(report.fileName, dump->content, &error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        refuse(res, 500, "storage failed");
        return;
    }
    db->addReport(report, nowMs());
    res.set_content(report.id, "text/plain");
}

void CService::appcast(const httplib::Request& req, httplib::Response& res)
{
    std::string data;
    if (!readWholeFile(opts.dataDir + "/appcast/" + std::string(req.matches[1]) + ".xml", &data)) {
        replyPage(res, 404, notFoundPage());
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(std::move(data), "application/xml");
}

} // namespace BL::Server
