#include "server/report_routes.h"

#include "brightloom_build.h"
#include "server/disk_quota.h"
#include "server/http_server.h"
#include "server/minidump_analysis.h"
#include "server/object_store.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

#include <cerrno>
#include <cstdio>
#include <openssl/crypto.h>

namespace BL::Server {

namespace {

bool readWholeFile(const std::string& path, std::string* data)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    data->clear();
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        data->append(buffer, got);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string hexNumber(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "\"0x%llx\"", static_cast<unsigned long long>(value));
    return text;
}

// Compares in time independent of where the texts differ.
bool sameToken(const std::string& given, const std::string& expected)
{
    return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

// What a service whose operator published no feed announces: its own build, so that
// clients of the same build hear "up to date" rather than an error.
std::string ownVersionFeed(const std::string& publicUrl)
{
    const std::string version = BL_PRODUCT_VERSION;
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
           "<channel>\n<title>Brightloom</title>\n<item>\n<title>Brightloom " +
           version +
           "</title>\n<sparkle:version>" BL_PRODUCT_BUILD "</sparkle:version>\n"
           "<sparkle:shortVersionString>" +
           version + "</sparkle:shortVersionString>\n<link>" + htmlEscape(publicUrl) +
           "/about</link>\n<description>The version this service runs.</description>\n"
           "</item>\n</channel>\n</rss>\n";
}

} // namespace

CReportRoutes::CReportRoutes(const SServiceOptions& options, CStore& store, CObjectStore& reports,
                             CDiskQuota& quota, const std::string& publicUrl)
    : m_options(options), m_store(store), m_reports(reports), m_quota(quota), m_publicUrl(publicUrl)
{
}

void CReportRoutes::addTo(CHttpServer& http)
{
    http.post("/report", routeTo(this, &CReportRoutes::receiveReport));
    http.get(R"(/desktop/updates/([A-Za-z0-9_-]{1,32}))", routeTo(this, &CReportRoutes::appcast));
    if (!m_options.adminToken.empty())
        http.get("/admin/reports", routeTo(this, &CReportRoutes::listReports));
}

void CReportRoutes::receiveReport(const SHttpRequest& req, SHttpResponse& res)
{
    if (!req.isMultipart()) {
        refuse(res, 400, "expected multipart form data");
        return;
    }
    // The dump travels as "upload_file_minidump"; any other file part is taken when it is absent.
    const SFormPart* dump = nullptr;
    if (req.hasFile("upload_file_minidump"))
        dump = &req.files.find("upload_file_minidump")->second;
    for (auto part = req.files.begin(); !dump && part != req.files.end(); ++part)
        if (!part->second.filename.empty())
            dump = &part->second;
    if (!dump || dump->content.empty()) {
        refuse(res, 400, "missing dump file");
        return;
    }
    if (dump->content.size() > m_options.maxUploadBytes) {
        refuse(res, 413, "file too large");
        return;
    }
    CQuotaHold quota(m_quota, dump->content.size());
    if (!quota) {
        refuse(res, 507, "storage quota reached");
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
    if (!m_reports.put(report.fileName, dump->content, &error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        refuse(res, 500, "storage failed");
        return;
    }
    try {
        m_store.addReport(report, nowMs());
    } catch (...) {
        m_reports.remove(report.fileName);
        throw;
    }
    quota.keep();
    res.setContent(report.id, "text/plain");
}

void CReportRoutes::listReports(const SHttpRequest& req, SHttpResponse& res)
{
    const std::string authorization = req.header("Authorization");
    const std::string bearer = "Bearer ";
    if (authorization.compare(0, bearer.size(), bearer) != 0 ||
        !sameToken(authorization.substr(bearer.size()), m_options.adminToken)) {
        res.setHeader("WWW-Authenticate", "Bearer");
        refuse(res, 401, "unauthorized");
        return;
    }
    int limit = 50;
    if (req.hasParam("limit")) {
        const std::string text = req.param("limit");
        limit = text.size() <= 4 && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos
                    ? std::max(1, std::stoi(text))
                    : 50;
    }
    const std::string symbols =
        m_options.symbolsDir.empty() ? m_options.dataDir + "/symbols" : m_options.symbolsDir;
    std::string json = "[";
    for (const SReport& report : m_store.reports(limit)) {
        if (json.size() > 1)
            json += ",";
        json += "\n{\"id\":" + jsonString(report.id) +
                ",\"received_ms\":" + std::to_string(report.receivedMs) +
                ",\"os_type\":" + jsonString(report.osType) +
                ",\"build_host_user\":" + jsonString(report.buildHostUser) +
                ",\"ver\":" + jsonString(report.version) + ",\"email\":" + jsonString(report.email) +
                ",\"dump\":" + jsonString(report.fileName);
        std::string dump;
        const SCrashSummary crash =
            m_reports.get(report.fileName, &dump) ? analyseMinidump(dump, symbols) : SCrashSummary{};
        if (!crash.valid) {
            json += ",\"error\":" + jsonString(crash.error.empty() ? "dump unreadable" : crash.error) + "}";
            continue;
        }
        json += ",\"signal\":" + std::to_string(crash.signal) +
                ",\"fault_address\":" + hexNumber(crash.faultAddress) +
                ",\"crashing_thread\":" + std::to_string(crash.crashingThread) + ",\"frames\":[";
        for (std::size_t i = 0; i < crash.frames.size(); ++i) {
            const SCrashFrame& frame = crash.frames[i];
            json += std::string(i ? "," : "") + "{\"address\":" + hexNumber(frame.address) +
                    ",\"module\":" + jsonString(frame.module) + ",\"offset\":" + hexNumber(frame.offset) +
                    ",\"symbol\":" + jsonString(frame.symbol) + ",\"trust\":" + jsonString(frame.trust) + "}";
        }
        json += "]}";
    }
    json += "\n]\n";
    res.setHeader("Cache-Control", "no-store");
    res.setContent(json, "application/json");
}

void CReportRoutes::appcast(const SHttpRequest& req, SHttpResponse& res)
{
    std::string data;
    const std::string path = m_options.dataDir + "/appcast/" + std::string(req.matches[1]) + ".xml";
    errno = 0;
    if (!readWholeFile(path, &data)) {
        if (errno != ENOENT) {
            // A feed that exists but cannot be read is the operator's to fix, not a reason to
            // tell every client that nothing newer exists.
            std::fprintf(stderr, "error: cannot read %s\n", path.c_str());
            refuse(res, 500, "feed unreadable");
            return;
        }
        data = ownVersionFeed(m_publicUrl);
    }
    res.setHeader("Cache-Control", "no-cache");
    res.setContent(std::move(data), "application/xml");
}

} // namespace BL::Server
