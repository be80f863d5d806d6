#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace BL::Server {

// A stored object opened for reading piece by piece, so that a reply can stream it.
class CObjectReader
{
public:
    virtual ~CObjectReader() = default;
    virtual std::uint64_t size() const = 0;
    // Up to `length` bytes from `offset` into `buffer`; how many came, 0 at the end or on failure.
    virtual std::size_t read(std::uint64_t offset, char* buffer, std::size_t length) = 0;
};

struct SObjectEntry
{
    std::string name;
    std::uint64_t size = 0;
    std::int64_t modifiedMs = 0;
};

// Where pictures and crash dumps are kept, by name. The routes know only this, so another kind
// of store (an S3-compatible one) can take the place of the shared directory. Implementations are
// safe to call from any thread.
class CObjectStore
{
public:
    CObjectStore() = default;
    virtual ~CObjectStore() = default;
    CObjectStore(const CObjectStore&) = delete;
    CObjectStore& operator=(const CObjectStore&) = delete;

    // Stores `data` durably: afterwards the whole object is there under `name`, or nothing is.
    // False with `error` filled on failure.
    virtual bool put(const std::string& name, std::string_view data, std::string* error) = 0;
    // The whole object; false when there is none.
    virtual bool get(const std::string& name, std::string* data) const = 0;
    // The object for reading in pieces, or nullptr when there is none.
    virtual std::unique_ptr<CObjectReader> open(const std::string& name) const = 0;
    virtual void remove(const std::string& name) = 0;
    // Every stored object (no temporaries).
    virtual std::vector<SObjectEntry> list() const = 0;
    // The time now by the clock that stamps `modifiedMs`, which may not be this node's (a file
    // server's); -1 when it cannot be read. Ages of objects are judged against this.
    virtual std::int64_t clockMs() = 0;
};

} // namespace BL::Server
