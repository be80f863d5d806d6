#pragma once

#include "server/http_server.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace BL::Server {

class CStore;
class CWriteLimits;

// Reserves codes for the requests that arrive together in one transaction of the store, so that
// each reply still follows its row's commit while a burst of clients costs one commit, not one
// each. Runs on a thread of its own; the replies go back through the engine.
class CReservationBatcher
{
public:
    // `publicUrl` is read at each batch: the service settles it only when it binds.
    CReservationBatcher(CStore& store, CWriteLimits& limits, std::int64_t lifetimeMs,
                        const std::string& publicUrl);
    // Answers what is queued, then stops.
    ~CReservationBatcher();
    CReservationBatcher(const CReservationBatcher&) = delete;
    CReservationBatcher& operator=(const CReservationBatcher&) = delete;

    // `clientKey` is the client's limit key; `keepForMs` how long the code's pictures stay after
    // their upload (0: for good), echoed in seconds in the reply when `echoKeep`.
    void reserve(std::string clientKey, std::int64_t keepForMs, bool echoKeep, CHttpServer::FReply reply);

private:
    struct SPending
    {
        std::string clientKey;
        std::int64_t keepForMs;
        bool echoKeep;
        CHttpServer::FReply reply;
    };
    void run();
    void answer(std::vector<SPending>& batch);

    CStore& m_store;
    CWriteLimits& m_limits;
    const std::int64_t m_lifetimeMs;
    const std::string& m_publicUrl;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<SPending> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace BL::Server
