#include "server/http_spool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace BL::Server {

CSpoolFile::CSpoolFile(const std::string& directory)
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string where = !directory.empty() ? directory : tmp && *tmp ? tmp : "/tmp";
    m_fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        // A file system without unnamed files: a named one, removed at once.
        std::string name = where + "/.spool-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd >= 0)
            ::unlink(name.c_str());
    }
    if (m_fd < 0)
        throw std::runtime_error("cannot make a spool file in " + where + ": " + std::strerror(errno));
}

CSpoolFile::~CSpoolFile()
{
    if (m_mapped && m_size > 0)
        ::munmap(const_cast<char*>(m_mapped), m_size);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CSpoolFile::append(const void* data, std::size_t length)
{
    const char* at = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::write(m_fd, at, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        length -= static_cast<std::size_t>(written);
        m_size += static_cast<std::uint64_t>(written);
    }
    return true;
}

bool CSpoolFile::map()
{
    if (m_size == 0) {
        m_mapped = "";
        return true;
    }
    void* mapped = ::mmap(nullptr, m_size, PROT_READ, MAP_SHARED, m_fd, 0);
    if (mapped == MAP_FAILED)
        return false;
    m_mapped = static_cast<const char*>(mapped);
    return true;
}

} // namespace BL::Server
