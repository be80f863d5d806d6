#include "server/preview_maker.h"

#include "server/disk_quota.h"
#include "server/image_check.h"
#include "server/object_store.h"
#include "server/previews.h"
#include "server/util.h"

#include <cstdio>
#include <exception>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace BL::Server {

CPreviewMaker::CPreviewMaker(CStore& store, CObjectStore& pictures, CDiskQuota& quota, std::size_t capacity,
                             int drainMs)
    : m_store(store), m_pictures(pictures), m_quota(quota), m_capacity(capacity), m_drainMs(drainMs)
{
    m_thread = std::thread([this] { run(); });
}

CPreviewMaker::~CPreviewMaker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_drainMs);
    }
    m_wake.notify_one();
    m_thread.join();
}

bool CPreviewMaker::add(const std::string& code, const std::vector<SPictureFile>& files)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_jobs.size() >= m_capacity) {
            if (m_skipped++ == 0)
                std::fprintf(stderr, "warning: %zu uploads wait for previews; further ones go without\n",
                             m_jobs.size());
            return false;
        }
        m_jobs.push_back({code, files});
    }
    m_wake.notify_one();
    return true;
}

void CPreviewMaker::run()
{
    // Requests come first: previews wait whenever the cores are busy answering.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
    for (;;) {
        SJob job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            if (m_stopping && std::chrono::steady_clock::now() >= m_giveUpAt) {
                std::fprintf(stderr, "warning: stopping with %zu uploads still without previews\n",
                             m_jobs.size());
                return;
            }
            if (m_skipped != 0 && m_jobs.size() < m_capacity / 2) {
                std::fprintf(stderr, "warning: %zu uploads went without previews\n", m_skipped);
                m_skipped = 0;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        try {
            make(job);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "error: previews of %s: %s\n", job.code.c_str(), error.what());
        }
    }
}

void CPreviewMaker::make(const SJob& job)
{
    std::vector<std::string> data(job.files.size());
    std::vector<SUploadedPicture> pictures;
    for (std::size_t i = 0; i < job.files.size(); ++i) {
        // Gone already: deleted or expired before its turn came.
        if (!m_pictures.get(job.files[i].name, &data[i]))
            return;
        pictures.push_back({data[i], decodableImageType(data[i]), job.files[i].width, job.files[i].height});
    }
    const SPreviews previews = makePreviews(pictures);
    data.clear();

    SPictureFile thumbnail;
    SPictureFile pair;
    const std::pair<const SPreviewImage*, SPictureFile*> made[] = {{&previews.thumbnail, &thumbnail},
                                                                   {&previews.pair, &pair}};
    CQuotaHold quota(m_quota, previews.thumbnail.png.size() + previews.pair.png.size());
    if (!quota)
        return;
    std::vector<std::string> written;
    const auto removeWritten = [&] {
        for (const std::string& name : written)
            m_pictures.remove(name);
    };
    for (const auto& [image, file] : made) {
        if (image->png.empty())
            continue;
        *file = {randomHex(12) + ".png", "image/png", image->width, image->height};
        std::string error;
        if (!m_pictures.put(file->name, image->png, &error)) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            removeWritten();
            return;
        }
        written.push_back(file->name);
    }
    if (previews.thumbnailIs == EThumbnail::Picture)
        thumbnail = job.files.front();
    else if (previews.thumbnailIs == EThumbnail::Pair)
        thumbnail = pair;
    if (thumbnail.name.empty() && pair.name.empty())
        return;
    bool named = false;
    try {
        named = m_store.storePreviews(job.code, thumbnail, pair);
    } catch (const CStoreOutcomeUnknown&) {
        // A committed row may name the files; the orphan sweep takes them if none does.
        quota.keep();
        throw;
    } catch (...) {
        removeWritten();
        throw;
    }
    if (!named) {
        removeWritten();
        return;
    }
    quota.keep();
}

} // namespace BL::Server
