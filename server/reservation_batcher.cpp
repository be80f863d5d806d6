#include "server/reservation_batcher.h"

#include "server/route_support.h"
#include "server/store.h"
#include "server/util.h"
#include "server/write_limits.h"

#include <cstdio>
#include <map>

namespace BL::Server {

namespace {

// A transaction of this many rows still commits in well under a millisecond.
constexpr std::size_t maxBatch = 256;

} // namespace

CReservationBatcher::CReservationBatcher(CStore& store, CWriteLimits& limits, std::int64_t lifetimeMs,
                                         const std::string& publicUrl)
    : m_store(store), m_limits(limits), m_lifetimeMs(lifetimeMs), m_publicUrl(publicUrl)
{
    m_thread = std::thread([this] { run(); });
}

CReservationBatcher::~CReservationBatcher()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void CReservationBatcher::reserve(std::string clientKey, std::int64_t keepForMs, bool echoKeep,
                                  CHttpServer::FReply reply)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = m_queue.empty();
        m_queue.push_back({std::move(clientKey), keepForMs, echoKeep, std::move(reply)});
    }
    // While a batch commits, later requests gather for the next one without a wake each.
    if (first)
        m_wake.notify_one();
}

void CReservationBatcher::run()
{
    std::vector<SPending> batch;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        if (m_queue.size() <= maxBatch) {
            batch.swap(m_queue);
        } else {
            batch.assign(std::make_move_iterator(m_queue.begin()),
                         std::make_move_iterator(m_queue.begin() + maxBatch));
            m_queue.erase(m_queue.begin(), m_queue.begin() + maxBatch);
        }
        lock.unlock();
        answer(batch);
        batch.clear();
        lock.lock();
    }
}

void CReservationBatcher::answer(std::vector<SPending>& batch)
{
    const std::int64_t now = nowMs();
    // Each client's requests are counted against its limit together.
    std::map<std::string, std::vector<SPending*>> byClient;
    for (SPending& pending : batch)
        byClient[pending.clientKey].push_back(&pending);
    std::vector<SPending*> admitted;
    admitted.reserve(batch.size());
    for (auto& [key, requests] : byClient) {
        SHttpResponse refusal;
        std::size_t allowed = 0;
        try {
            allowed = static_cast<std::size_t>(
                m_limits.allowReservations(key, now, static_cast<int>(requests.size()), refusal));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "error: POST /api/reserve_code: %s\n", e.what());
            refusal = SHttpResponse();
            refuse(refusal, 500, "internal error");
        }
        for (std::size_t i = 0; i < requests.size(); ++i)
            if (i < allowed)
                admitted.push_back(requests[i]);
            else
                requests[i]->reply(refusal);
    }
    if (admitted.empty())
        return;
    std::vector<std::int64_t> keepForMs;
    keepForMs.reserve(admitted.size());
    for (const SPending* pending : admitted)
        keepForMs.push_back(pending->keepForMs);
    std::vector<SReservation> reservations;
    try {
        reservations = m_store.reserveCodes(keepForMs, now, m_lifetimeMs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: POST /api/reserve_code: %s\n", e.what());
    }
    for (std::size_t i = 0; i < admitted.size(); ++i) {
        SHttpResponse response;
        if (i < reservations.size()) {
            // The uploader gets the secret; the link carries the public code.
            std::vector<std::pair<std::string, std::string>> members{
                {"status", "ok"},
                {"code", reservations[i].secret},
                {"url", m_publicUrl + "/" + reservations[i].code}};
            // What was granted, which may be less than what was asked.
            if (admitted[i]->echoKeep)
                members.emplace_back("expires", std::to_string(admitted[i]->keepForMs / 1000));
            replyJson(response, 200, compactJson(members));
        } else {
            refuse(response, 500, "internal error");
        }
        admitted[i]->reply(std::move(response));
    }
}

} // namespace BL::Server
