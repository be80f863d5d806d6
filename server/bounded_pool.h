#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <thread>
#include <vector>

namespace BL::Server {

// The listener's worker threads with a bounded queue: when `maxWaiting` accepted connections
// already wait for a thread, the accepting thread waits too, so further clients stay in the
// kernel's listen queue (itself bounded) instead of piling up in memory.
class CBoundedPool : public httplib::TaskQueue
{
public:
    CBoundedPool(std::size_t threads, std::size_t maxWaiting);
    ~CBoundedPool() override;

    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    void work();

    std::size_t m_maxWaiting;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_room;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace BL::Server
