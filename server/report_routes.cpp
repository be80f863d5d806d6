#include "server/report_routes.h"

#include "server/files.h"
#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"

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

} // namespace

CReportRoutes::CReportRoutes(const SServiceOptions& options, CStore& store, CDurableDirectory& reports)
    : m_options(options), m_store(store), m_reports(reports)
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
    if (!readWholeFile(m_options.dataDir + "/appcast/" + std::string(req.matches[1]) + ".xml", &data)) {
        replyNotFound(res);
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(std::move(data), "application/xml");
}

} // namespace BL::Server
