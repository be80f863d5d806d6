#include "server/service.h"

#include "server/api_routes.h"
#include "server/attempt_limiter.h"
#include "server/disk_quota.h"
#include "server/files.h"
#include "server/form_tokens.h"
#include "server/hash_key.h"
#include "server/http_server.h"
#include "server/orphan_sweep.h"
#include "server/page_routes.h"
#include "server/pages.h"
#include "server/pg_store.h"
#include "server/picture_routes.h"
#include "server/report_routes.h"
#include "server/route_support.h"
#include "server/share_routes.h"
#include "server/sqlite_store.h"
#include "server/stored_files.h"
#include "server/token_routes.h"
#include "server/upload_intake.h"
#include "server/util.h"
#include "server/write_limits.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>
#include <stdexcept>
#include <thread>

namespace BL::Server {

namespace {

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
    case 408:
        return "request timed out";
    case 431:
        return "request header too large";
    case 503:
        return "server busy";
    default:
        return status >= 500 ? "internal error" : "request refused";
    }
}

SHttpLimits httpLimits(const SServiceOptions& options)
{
    SHttpLimits limits;
    limits.workerThreads = options.threads;
    limits.maxQueuedRequests = static_cast<std::size_t>(std::max(1, options.maxWaitingConnections));
    const SConnectionLimits& connections = options.connections;
    limits.perAddress = connections.perAddress;
    limits.requestTimeoutMs = connections.requestTimeoutMs;
    limits.headerTimeoutMs = std::min(connections.headerTimeoutMs, connections.requestTimeoutMs);
    limits.idleTimeoutMs = connections.idleTimeoutMs;
    limits.maxRequestsPerConnection = connections.maxRequestsPerConnection;
    limits.maxHeaderBytes = connections.maxHeaderBytes;
    limits.maxHeaderLines = connections.maxHeaderLines;
    // Room for two full-size pictures plus the multipart framing around them.
    limits.maxBodyBytes = 2 * options.maxUploadBytes + 64 * 1024;
    // Large bodies wait in unnamed files beside the data, on the disk that holds it.
    limits.spoolDirectory = options.dataDir;
    return limits;
}

} // namespace

std::string defaultDataDir()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return std::string(xdg) + "/brightloom-server";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/brightloom-server";
}

CService::CService(SServiceOptions options) : m_options(std::move(options))
{
    if (m_options.dataDir.empty())
        m_options.dataDir = defaultDataDir();
    std::string& publicUrl = m_options.publicUrl;
    while (publicUrl.size() > 1 && publicUrl.back() == '/')
        publicUrl.pop_back();
    if (!publicUrl.empty() && (jsonSafe(publicUrl) != publicUrl || publicUrl.find(' ') != std::string::npos ||
                               (publicUrl.rfind("http://", 0) != 0 && publicUrl.rfind("https://", 0) != 0))) {
        throw std::runtime_error(
            "the public URL must be an http or https URL without blanks, quotes, commas, "
            "braces or backslashes");
    }
    // Every node must hand out the same links, whichever address it listens on.
    if (!m_options.databaseUrl.empty() && publicUrl.empty())
        throw std::runtime_error("with --database, every node needs the same --public-url");
    makeDirectories(m_options.dataDir);
    makeDirectories(m_options.dataDir + "/appcast");
    m_http = std::make_unique<CHttpServer>(httpLimits(m_options));
    const CHashKey key = CHashKey::loadOrCreate(
        m_options.hashKeyPath.empty() ? m_options.dataDir + "/hash.key" : m_options.hashKeyPath);
    if (m_options.databaseUrl.empty())
        m_store = std::make_unique<CSqliteStore>(m_options.dataDir + "/brightloom.db", key);
    else
        m_store = std::make_unique<CPgStore>(m_options.databaseUrl, key, m_options.databaseConnections,
                                             m_options.databaseTimeouts);
    m_forms = std::make_unique<CFormTokens>(key, m_publicUrl);
    const std::string& objects = m_options.objectsDir.empty() ? m_options.dataDir : m_options.objectsDir;
    makeDirectories(objects);
    m_pictures = std::make_unique<CDurableDirectory>(objects + "/pictures");
    m_reports = std::make_unique<CDurableDirectory>(objects + "/reports");
    // The files are listed before the rows are read: a row another node commits meanwhile is seen.
    sweepOrphans(
        *m_pictures, "pictures",
        [this] {
            const std::vector<std::string> pictures = m_store->referencedFiles();
            return std::set<std::string>(pictures.begin(), pictures.end());
        },
        m_options.orphanAgeMs);
    sweepOrphans(
        *m_reports, "reports",
        [this] {
            std::set<std::string> reports;
            for (const SReport& report : m_store->reports(std::numeric_limits<int>::max()))
                reports.insert(report.fileName);
            return reports;
        },
        m_options.orphanAgeMs);
    m_quota = m_store->makeQuota(m_options.diskQuotaBytes);
    m_quota->recount(*m_pictures, *m_reports);

    m_checks = m_store->makeLimiter("failed-checks", m_options.failedChecksPerMinute, 60 * 1000);
    m_writeLimits = std::make_unique<CWriteLimits>(m_options, *m_store);
    m_intake = std::make_unique<CUploadIntake>(m_options, *m_store, *m_pictures, *m_quota);
    m_routes.push_back(
        std::make_unique<CApiRoutes>(m_options, *m_store, *m_intake, *m_checks, *m_writeLimits, m_publicUrl));
    m_routes.push_back(std::make_unique<CTokenRoutes>(m_options, *m_store, *m_pictures, *m_quota, *m_intake,
                                                      *m_checks, *m_forms, m_publicUrl));
    m_routes.push_back(std::make_unique<CPictureRoutes>(*m_store, *m_pictures, m_publicUrl));
    m_routes.push_back(
        std::make_unique<CReportRoutes>(m_options, *m_store, *m_reports, *m_quota, m_publicUrl));
    m_routes.push_back(std::make_unique<CShareRoutes>(*m_store, *m_pictures, *m_quota, *m_checks, *m_forms,
                                                      m_options.trustedProxy));
    // Last: the code page takes any one-segment path the others left.
    m_routes.push_back(
        std::make_unique<CPageRoutes>(*m_store, *m_checks, *m_forms, m_options.trustedProxy, m_publicUrl));
    // Before the code page, whose pattern would take this path too.
    m_http->get("/healthz", [this](const SHttpRequest&, SHttpResponse& res) { checkHealth(res); });
    for (const auto& routes : m_routes)
        routes->addTo(*m_http);
    configureListener();
    m_purger = std::thread([this] { purgeLoop(); });
}

CService::~CService()
{
    {
        std::lock_guard<std::mutex> lock(m_purgeMutex);
        m_purgeStopping = true;
    }
    m_purgeWake.notify_all();
    if (m_purger.joinable())
        m_purger.join();
}

void CService::checkHealth(SHttpResponse& res)
{
    // For the balancer: a node whose database does not answer takes no requests.
    try {
        m_store->ping();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: health check: %s\n", e.what());
        refuse(res, 503, "database unavailable");
        return;
    }
    replyJson(res, 200, compactJson({{"status", "ok"}}));
}

void CService::purgeLoop()
{
    std::unique_lock<std::mutex> lock(m_purgeMutex);
    do {
        try {
            m_store->purgeExpired(nowMs());
            purgeExpiredPictures();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "error: purging expired rows: %s\n", e.what());
        }
    } while (!m_purgeWake.wait_for(
        lock, std::chrono::milliseconds(std::max<std::int64_t>(10, m_options.purgeIntervalMs)),
        [this] { return m_purgeStopping; }));
}

void CService::purgeExpiredPictures()
{
    // A batch at a time: each transaction stays short, and files go soon after their rows.
    constexpr int batch = 500;
    for (;;) {
        const std::vector<std::string> files = m_store->purgeExpiredPictures(nowMs(), batch);
        removeStoredFiles(*m_pictures, *m_quota, files);
        if (files.size() < static_cast<std::size_t>(batch))
            return;
    }
}

int CService::bind()
{
    const int port = m_http->bind(m_options.listenHost, m_options.listenPort);
    if (m_options.publicUrl.empty()) {
        const std::string& host = m_options.listenHost;
        const bool v6 = host.find(':') != std::string::npos;
        m_publicUrl = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    } else {
        m_publicUrl = m_options.publicUrl;
    }
    return port;
}

void CService::run()
{
    m_http->run();
}

void CService::stop()
{
    m_http->stop();
}

void CService::configureListener()
{
    // A chunked body has no length to check before reading it, and an encoded one would have to
    // be inflated without a limit: both are refused before the body is read.
    m_http->setHeadCheck([](const SHttpRequest& req, SHttpResponse& res) {
        if (req.hasHeader("Transfer-Encoding")) {
            refuse(res, 411, "chunked bodies not accepted");
            return true;
        }
        if (req.hasHeader("Content-Encoding") && req.header("Content-Encoding") != "identity") {
            refuse(res, 415, "encoded bodies not accepted");
            return true;
        }
        return false;
    });
    // The per-address limits on anonymous writes, whose counts may be rows of the database.
    m_http->setAdmission([this](const SHttpRequest& req, SHttpResponse& res) {
        return m_writeLimits->refuseIfOver(req, res);
    });

    // Replies the handlers left empty (unknown paths, refusals by the HTTP layer such as a
    // malformed multipart body or an oversize request) still carry a readable body.
    m_http->setErrorHandler([](const SHttpRequest& req, SHttpResponse& res) {
        // Too large is a refusal the person should read, not a network error.
        if (req.path == CTokenRoutes::uploadPath) {
            CTokenRoutes::refuseUpload(res, res.status,
                                       res.status == 413 ? "file too large" : reasonForStatus(res.status));
        } else if (res.status == 413 && req.path == "/api/upload.php") {
            decline(res, "file too large");
        } else if (res.status == 413 && req.path == "/api/upload") {
            decline(res, "url too long");
        } else if (req.path.rfind("/api/", 0) == 0 || req.method != "GET") {
            refuse(res, res.status, reasonForStatus(res.status));
        } else if (res.status == 404) {
            replyNotFound(res);
        } else {
            replyPage(res, res.status,
                      pageLayout("Error", std::string("<div class=\"card\"><h1>") +
                                              reasonForStatus(res.status) + "</h1></div>"));
        }
    });
    m_http->setExceptionHandler([](const SHttpRequest& req, SHttpResponse& res, std::exception_ptr error) {
        std::string what = "unknown exception";
        const char* reason = "internal error";
        try {
            std::rethrow_exception(error);
        } catch (const CPgConnectionError& e) {
            // Said in words: the client shows it, and it is not the request's fault.
            what = e.what();
            reason = "database unavailable";
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "error: %s %s: %s\n", printable(req.method, 16).c_str(),
                     printable(req.path, 200).c_str(), what.c_str());
        refuse(res, 500, reason);
    });
    if (m_options.accessLog) {
        m_http->setLogger([](const SHttpRequest& req, const SHttpResponse& res) {
            const std::string line = formatUtc(nowMs()) + " " + req.remoteAddress + " \"" +
                                     printable(req.method, 16) + " " + printable(req.path, 200) + "\" " +
                                     std::to_string(res.status) + " " +
                                     std::to_string(res.stream ? res.streamLength : res.body.size()) + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        });
    }
}

} // namespace BL::Server
