#pragma once

// The inside of the HTTP listener, shared by its acceptor and its connections.

#include "server/http_server.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace BL::Server {

// A fixed set of threads for the handlers, with a bounded queue.
class CWorkerPool
{
public:
    CWorkerPool(int threads, std::size_t maxQueued);
    ~CWorkerPool();
    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    // False when the queue is full.
    bool post(std::function<void()> job);

private:
    void work();

    const std::size_t m_maxQueued;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

class CHttpSession;

// What a connection needs of its listener: the limits, the threads, the handlers and the
// bookkeeping of open connections.
class CHttpEngine
{
public:
    explicit CHttpEngine(SHttpLimits limits) : limits(limits) {}
    virtual ~CHttpEngine() = default;

    // On the I/O thread: true, with the refusal in `response`, when the head is refused.
    virtual bool checkHead(SHttpRequest& request, SHttpResponse& response) = 0;
    // On the I/O thread: true when an asynchronous route took the request; it calls `reply`.
    virtual bool dispatchInline(SHttpRequest& request, CHttpServer::FReply reply) = 0;
    // On a worker: true, with the refusal in `response`, when the request may not go on.
    virtual bool admit(SHttpRequest& request, SHttpResponse& response) = 0;
    // On a worker: admission (unless done), routing and the handler; fills `response`.
    virtual void respond(SHttpRequest& request, SHttpResponse& response, bool admitted) = 0;
    // Gives an error reply with no body the service's body for it.
    virtual void fillError(const SHttpRequest& request, SHttpResponse& response) = 0;
    virtual void log(const SHttpRequest& request, const SHttpResponse& response) = 0;

    void startSession(boost::asio::ip::tcp::socket socket);
    // False when the address holds its share of connections already.
    bool admitAddress(const std::string& key);
    void forget(CHttpSession* session, const std::string& key, bool counted);
    void closeIdleSessions();
    bool postToWorker(std::function<void()> job) { return m_workers && m_workers->post(std::move(job)); }
    void startWorkers()
    {
        m_workers = std::make_unique<CWorkerPool>(limits.workerThreads, limits.maxQueuedRequests);
    }
    void stopWorkers() { m_workers.reset(); }

    const SHttpLimits limits;
    boost::asio::io_context io;
    std::atomic<bool> stopping{false};

private:
    std::unique_ptr<CWorkerPool> m_workers;
    std::mutex m_mutex;
    std::map<std::string, int> m_perAddress;
    std::unordered_map<CHttpSession*, std::weak_ptr<CHttpSession>> m_sessions;
};

} // namespace BL::Server
