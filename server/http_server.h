#pragma once

#include "server/http_message.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace BL::Server {

struct SHttpLimits
{
    int ioThreads = 0;                    // threads reading and writing sockets; 0: one per core
    int workerThreads = 0;                // threads running the handlers, which may block; 0: a default
    std::size_t maxQueuedRequests = 1024; // complete requests waiting for a worker; beyond: 503
    int perAddress = 16;                  // open connections one client address may hold; 0: no cap
    int headerTimeoutMs = 10000;          // the whole header block, from its first byte
    int requestTimeoutMs = 120000;        // the body and the reply, from the end of the header
    int idleTimeoutMs = 30000;            // between requests on a persistent connection
    int maxRequestsPerConnection = 1000;
    std::size_t maxHeaderBytes = 16 * 1024;
    int maxHeaderLines = 64;
    std::size_t maxBodyBytes = 1024 * 1024;
    // A body above this size goes to an unnamed file in spoolDirectory as it arrives (the
    // system's temporary directory when empty), not into memory.
    std::size_t spoolBodyBytes = 256 * 1024;
    std::string spoolDirectory;
    // A body above this size waits for the admission check before it is read.
    std::size_t admitBeforeBodyBytes = 64 * 1024;
};

// The service's HTTP/1.1 listener: persistent connections served by a few I/O threads with
// every bound of the limits above, and complete requests handed to a pool of worker threads,
// where handlers may block on the database or the disk.
class CHttpServer
{
public:
    using FHandler = std::function<void(const SHttpRequest&, SHttpResponse&)>;
    // True when it answered the request itself (a refusal).
    using FAdmission = std::function<bool(const SHttpRequest&, SHttpResponse&)>;
    using FException = std::function<void(const SHttpRequest&, SHttpResponse&, std::exception_ptr)>;
    using FLogger = std::function<void(const SHttpRequest&, const SHttpResponse&)>;
    // Sends the reply of an asynchronous route; callable from any thread, once.
    using FReply = std::function<void(SHttpResponse)>;
    using FAsyncHandler = std::function<void(const SHttpRequest&, FReply)>;

    explicit CHttpServer(SHttpLimits limits);
    ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // The pattern must match the whole decoded path; its groups become the request's matches.
    // Routes are tried in the order they were added. GET routes answer HEAD too.
    void route(const std::string& method, const std::string& pattern, FHandler handler);
    void get(const std::string& pattern, FHandler handler) { route("GET", pattern, std::move(handler)); }
    void post(const std::string& pattern, FHandler handler) { route("POST", pattern, std::move(handler)); }

    // A route whose handler runs on an I/O thread as soon as the request is read, and must not
    // block: it hands the work on and replies when it is done. The admission is not called for
    // it; such a route applies its own limits.
    void routeAsync(const std::string& method, const std::string& pattern, FAsyncHandler handler);

    // Cheap checks of the request head, on the I/O thread as soon as the head is read.
    void setHeadCheck(FAdmission check);
    // Called on a worker with the request head before the handler; for a large body, before
    // the body is read. The body is empty then.
    void setAdmission(FAdmission admission);
    // Called for every reply of status 400 and above whose body is empty, to fill it.
    void setErrorHandler(FHandler handler);
    void setExceptionHandler(FException handler);
    void setLogger(FLogger logger);

    // Binds and listens; returns the port (`port` 0 picks a free one). Throws std::runtime_error.
    int bind(const std::string& host, int port);
    // Serves until stop(), then until the requests under way are answered.
    void run();
    // Safe from any thread and from a signal handler's helper thread.
    void stop();

    class CImpl;

private:
    std::unique_ptr<CImpl> m_impl;
};

// The key connection and request limits count a client under: the address itself, or for
// IPv6 its /64, which one subscriber usually holds whole.
std::string addressLimitKey(const std::string& address);

} // namespace BL::Server
