#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace BL::Server {

class CStore;
class CDurableDirectory;
class CHttpServer;

struct SServiceOptions
{
    std::string listenHost = "127.0.0.1";
    int listenPort = 8480; // 0 picks a free port
    std::string dataDir;
    std::string publicUrl; // empty: "http://" + the address actually listened on
    std::size_t maxUploadBytes = 10 * 1024 * 1024;
    bool allowPrivateFetch = false;
    std::int64_t codeLifetimeMs = 24LL * 60 * 60 * 1000;
    int fetchTimeoutMs = 10000;
    bool accessLog = true;
    int threads = 0; // 0: a default fitted to the machine
};

// The Brightloom web service: the desktop client's API, the web pages, the crash report
// receiver and the update feed, over one HTTP listener.
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

    const std::string& publicUrl() const { return baseUrl; }
    CStore& store() { return *db; }

private:
    void registerRoutes();
    void checkHash(const httplib::Request& req, httplib::Response& res);
    void reserveCode(const httplib::Request& req, httplib::Response& res);
    void uploadFiles(const httplib::Request& req, httplib::Response& res);
    void uploadUrl(const httplib::Request& req, httplib::Response& res);
    void finishUpload(const std::string& code, const std::string& hash, const std::string* const pictures[2],
                      const std::string& sourceUrl, httplib::Response& res);
    // Replies with a refusal and returns true unless `code` is empty or reserved and unused.
    bool refuseUnusableCode(const std::string& code, httplib::Response& res);
    void showCode(const httplib::Request& req, httplib::Response& res);
    void servePicture(const httplib::Request& req, httplib::Response& res);
    void signup(const httplib::Request& req, httplib::Response& res);
    void history(const httplib::Request& req, httplib::Response& res);
    void signIn(const httplib::Request& req, httplib::Response& res);
    void signOut(const httplib::Request& req, httplib::Response& res);
    void receiveReport(const httplib::Request& req, httplib::Response& res);
    void appcast(const httplib::Request& req, httplib::Response& res);
    std::int64_t signedInAccount(const httplib::Request& req);

    SServiceOptions opts;
    std::string baseUrl;
    std::unique_ptr<CHttpServer> http;
    std::unique_ptr<CStore> db;
    std::unique_ptr<CDurableDirectory> pictures;
    std::unique_ptr<CDurableDirectory> reports;
};

// $XDG_DATA_HOME/brightloom-server, or ~/.local/share/brightloom-server.
std::string defaultDataDir();

} // namespace BL::Server
