#pragma once

#include "server/options.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace BL::Server {

class CAttemptLimiter;
class CStore;
class CDiskQuota;
class CDurableDirectory;
class CFormTokens;
class CHttpServer;
struct SHttpResponse;
class CRoutes;
class CUploadIntake;
class CWriteLimits;

// The Brightloom web service: the desktop client's API, the web pages, the crash report
// receiver and the update feed, over one HTTP listener. It owns the storage and the listener;
// each area of routes is a class of its own.
class CService
{
public:
    // Opens the data directory and database; throws std::runtime_error on failure.
    explicit CService(SServiceOptions options);
    ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Binds the listening socket; returns the port, throws std::runtime_error on failure.
    int bind();
    // Serves until stop(); call bind() first.
    void run();
    // Safe from any thread.
    void stop();

    const std::string& publicUrl() const { return m_publicUrl; }
    CStore& store() { return *m_store; }

private:
    void configureListener();
    void checkHealth(SHttpResponse& res);
    void purgeLoop();
    void purgeExpiredPictures();

    SServiceOptions m_options;
    std::string m_publicUrl;
    std::unique_ptr<CHttpServer> m_http;
    std::unique_ptr<CStore> m_store;
    std::unique_ptr<CDurableDirectory> m_pictures;
    std::unique_ptr<CDurableDirectory> m_reports;
    std::unique_ptr<CDiskQuota> m_quota;
    std::unique_ptr<CAttemptLimiter> m_checks;
    std::unique_ptr<CFormTokens> m_forms;
    std::unique_ptr<CWriteLimits> m_writeLimits;
    // Before the routes, which use it; it finishes the previews it has queued when it goes.
    std::unique_ptr<CUploadIntake> m_intake;
    // Deletes expired codes, sessions and pictures every purgeIntervalMs until the service goes.
    std::mutex m_purgeMutex;
    std::condition_variable m_purgeWake;
    bool m_purgeStopping = false;
    std::thread m_purger;
    std::vector<std::unique_ptr<CRoutes>> m_routes;
};

// $XDG_DATA_HOME/brightloom-server, or ~/.local/share/brightloom-server.
std::string defaultDataDir();

} // namespace BL::Server
