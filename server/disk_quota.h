#pragma once

#include "server/object_store.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace BL::Server {

// The total size the stored pictures and crash reports may take, so that anonymous uploads
// cannot fill the disk. Bytes are taken before a file is written and given back when the
// write or its row fails; a limit of 0 takes everything. Safe from any thread.
class CDiskQuota
{
public:
    virtual ~CDiskQuota() = default;

    // Sets what is used to what the stores hold now (at start: bytes a killed process had
    // taken for files it never wrote come back).
    virtual void recount(const CObjectStore& pictures, const CObjectStore& reports) = 0;
    // False, and nothing taken, when `bytes` more would go over the limit.
    virtual bool take(std::uint64_t bytes) = 0;
    // May throw (a database quota); the bytes are not lost then: see CQuotaHold.
    virtual void give(std::uint64_t bytes) = 0;
    // True when not one more byte fits.
    virtual bool full() = 0;

protected:
    static std::uint64_t sizeOf(const CObjectStore& store);
};

// The count in this node's memory, for a service that runs as one node.
class CMemoryDiskQuota : public CDiskQuota
{
public:
    explicit CMemoryDiskQuota(std::uint64_t limitBytes);

    void recount(const CObjectStore& pictures, const CObjectStore& reports) override;
    bool take(std::uint64_t bytes) override;
    void give(std::uint64_t bytes) override;
    bool full() override;

private:
    const std::uint64_t m_limit;
    std::mutex m_mutex;
    std::uint64_t m_used = 0;
};

// Bytes taken from a quota for one request's files; given back on every way out unless kept.
class CQuotaHold
{
public:
    CQuotaHold(CDiskQuota& quota, std::uint64_t bytes)
        : m_quota(quota), m_bytes(bytes), m_held(quota.take(bytes))
    {
    }
    // Never throws: it runs while an exception unwinds. A quota that cannot give the bytes back
    // now keeps them owed and settles them with its next statement that succeeds.
    ~CQuotaHold() noexcept;
    CQuotaHold(const CQuotaHold&) = delete;
    CQuotaHold& operator=(const CQuotaHold&) = delete;

    explicit operator bool() const { return m_held; }
    // The files were stored and their rows committed: the bytes stay used.
    void keep() { m_held = false; }

private:
    CDiskQuota& m_quota;
    const std::uint64_t m_bytes;
    bool m_held;
};

} // namespace BL::Server
