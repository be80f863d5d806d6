#include "server/bounded_pool.h"

namespace BL::Server {

CBoundedPool::CBoundedPool(std::size_t threads, std::size_t maxWaiting) : m_maxWaiting(maxWaiting)
{
    for (std::size_t i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

CBoundedPool::~CBoundedPool()
{
    shutdown();
}

void CBoundedPool::enqueue(std::function<void()> fn)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_room.wait(lock, [this] { return m_jobs.size() < m_maxWaiting || m_stopping; });
    m_jobs.push_back(std::move(fn));
    m_ready.notify_one();
}

void CBoundedPool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping && m_threads.empty())
            return;
        m_stopping = true;
    }
    m_ready.notify_all();
    m_room.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

void CBoundedPool::work()
{
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_ready.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        m_room.notify_one();
        job();
    }
}

} // namespace BL::Server
