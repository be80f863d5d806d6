#pragma once

#include "server/store.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace BL::Server {

class CDiskQuota;
class CObjectStore;

// Makes the thumbnail and a comparison's side by side after the upload has been answered: decoding
// and scaling a large picture costs several times what storing it does, and the uploader is not
// waiting for either. One thread at a lower priority than the requests works through a short queue;
// a picture whose previews cannot be queued, made or stored simply has none, which every page and
// reply already allows for.
class CPreviewMaker
{
public:
    // `capacity`: how many uploads may wait for their previews before further ones go without (a
    // waiting upload costs a few hundred bytes). `drainMs`: how long the destructor goes on making
    // what is queued before it gives the rest up.
    CPreviewMaker(CStore& store, CObjectStore& pictures, CDiskQuota& quota, std::size_t capacity = 10000,
                  int drainMs = 10000);
    ~CPreviewMaker();
    CPreviewMaker(const CPreviewMaker&) = delete;
    CPreviewMaker& operator=(const CPreviewMaker&) = delete;

    // Queues the previews of the stored upload `code` made of `files` (in order). False when the
    // queue is full.
    bool add(const std::string& code, const std::vector<SPictureFile>& files);

private:
    struct SJob
    {
        std::string code;
        std::vector<SPictureFile> files;
    };

    void run();
    void make(const SJob& job);

    CStore& m_store;
    CObjectStore& m_pictures;
    CDiskQuota& m_quota;
    const std::size_t m_capacity;
    const int m_drainMs;
    std::size_t m_skipped = 0; // since the queue was last full
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<SJob> m_jobs;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_giveUpAt;
    std::thread m_thread;
};

} // namespace BL::Server
