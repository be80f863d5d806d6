#pragma once

// Large request bodies go to an unnamed file as they arrive, and the handlers read them through a
// read-only mapping: a burst of big uploads costs page cache, not the service's heap.

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace BL::Server {

// A file that is gone from its directory (or never was in one); closed, and unmapped, with the
// last reference.
class CSpoolFile
{
public:
    // An unnamed file in `directory` (the system's temporary directory when empty); throws
    // std::runtime_error when none can be made.
    explicit CSpoolFile(const std::string& directory);
    ~CSpoolFile();
    CSpoolFile(const CSpoolFile&) = delete;
    CSpoolFile& operator=(const CSpoolFile&) = delete;

    bool append(const void* data, std::size_t length);
    // Maps what was written; false when that fails. After this, nothing more is appended.
    bool map();
    std::string_view view() const { return {m_mapped, m_size}; }
    std::uint64_t size() const { return m_size; }

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    const char* m_mapped = nullptr;
};

// The parser's body type for a spooled body.
struct SSpoolBody
{
    struct value_type
    {
        std::shared_ptr<CSpoolFile> file;
    };

    static std::uint64_t size(const value_type& body) { return body.file ? body.file->size() : 0; }

    class reader
    {
    public:
        template<bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : m_body(body)
        {
        }
        void init(const boost::optional<std::uint64_t>&, boost::system::error_code& error)
        {
            error = {};
            if (!m_body.file)
                error = boost::beast::http::error::bad_transfer_encoding;
        }
        template<class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence& buffers, boost::system::error_code& error)
        {
            std::size_t taken = 0;
            for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
                if (!m_body.file->append(buffer.data(), buffer.size())) {
                    error = boost::beast::http::error::buffer_overflow;
                    return taken;
                }
                taken += buffer.size();
            }
            error = {};
            return taken;
        }
        void finish(boost::system::error_code& error) { error = {}; }

    private:
        value_type& m_body;
    };
};

} // namespace BL::Server
