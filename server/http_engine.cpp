#include "server/http_session.h"

#include <boost/asio/post.hpp>

namespace BL::Server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

CWorkerPool::CWorkerPool(int threads, std::size_t maxQueued) : m_maxQueued(maxQueued)
{
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

bool CWorkerPool::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_jobs.size() >= m_maxQueued)
            return false;
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void CWorkerPool::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void CHttpEngine::startSession(tcp::socket socket)
{
    auto session = std::make_shared<CHttpSession>(*this, std::move(socket));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.emplace(session.get(), session);
    }
    session->start();
}

bool CHttpEngine::admitAddress(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int& open = m_perAddress[key];
    if (limits.perAddress > 0 && open >= limits.perAddress) {
        if (open == 0)
            m_perAddress.erase(key);
        return false;
    }
    ++open;
    return true;
}

void CHttpEngine::forget(CHttpSession* session, const std::string& key, bool counted)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(session);
    if (!counted)
        return;
    const auto found = m_perAddress.find(key);
    if (found != m_perAddress.end() && --found->second <= 0)
        m_perAddress.erase(found);
}

void CHttpEngine::closeIdleSessions()
{
    std::vector<std::shared_ptr<CHttpSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_sessions)
            if (auto session = entry.second.lock())
                sessions.push_back(std::move(session));
    }
    for (const auto& session : sessions)
        asio::post(session->executor(), [session] { session->closeIfIdle(); });
}

std::string addressLimitKey(const std::string& address)
{
    boost::system::error_code error;
    const auto parsed = asio::ip::make_address(address, error);
    if (error || !parsed.is_v6())
        return address;
    auto bytes = parsed.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

} // namespace BL::Server
