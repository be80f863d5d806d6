#include "server/report_routes.h"

#include "server/files.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

#include <cerrno>
#include <cstdio>
#include <httplib.h>

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

CReportRoutes::CReportRoutes(const SServiceOptions& options, CStore& store, CDurableDirectory& reports,
                             const std::string& publicUrl)
    : m_options(options), m_store(store), m_reports(reports), m_publicUrl(publicUrl)
{
}

void CReportRoutes::addTo(httplib::Server& http)
{
    http.Post("/report", routeTo(this, &CReportRoutes::receiveReport));
    http.Get(R"(/desktop/updates/([A-Za-z0-9_-]{1,32}))", routeTo(this, &CReportRoutes::appcast));
}

void CReportRoutes::receiveReport(const httplib::Request& req, httplib::Response& res)
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
    if (dump->content.size() > m_options.maxUploadBytes) {
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
    if (!m_reports.write(report.fileName, dump->content, &error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        refuse(res, 500, "storage failed");
        return;
    }
    m_store.addReport(report, nowMs());
    res.set_content(report.id, "text/plain");
}

void CReportRoutes::appcast(const httplib::Request& req, httplib::Response& res)
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
    res.set_header("Cache-Control", "no-cache");
    res.set_content(std::move(data), "application/xml");
}

} // namespace BL::Server
