#include "server/files.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace BL::Server {

namespace {

const char tempPrefix[] = ".tmp-";

std::string errnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

void makeDirectories(const std::string& path)
{
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        partial = path.substr(0, end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error(errnoText("cannot create " + partial));
        start = end + 1;
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw std::runtime_error("not a directory: " + path);
}

CDurableDirectory::CDurableDirectory(const std::string& path) : m_path(path)
{
    makeDirectories(path);
    m_dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0)
        throw std::runtime_error(errnoText("cannot open " + path));
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strncmp(entry->d_name, tempPrefix, sizeof tempPrefix - 1) == 0)
                ::unlinkat(m_dirFd, entry->d_name, 0);
        ::closedir(dir);
    }
}

CDurableDirectory::~CDurableDirectory()
{
    if (m_dirFd >= 0)
        ::close(m_dirFd);
}

bool CDurableDirectory::write(const std::string& name, const std::string& data, std::string* error)
{
    const std::string temp = tempPrefix + name;
    const int fd = ::openat(m_dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errnoText("cannot create " + temp);
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            *error = errnoText("cannot write " + temp);
            ::close(fd);
            ::unlinkat(m_dirFd, temp.c_str(), 0);
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        *error = errnoText("cannot flush " + temp);
        ::unlinkat(m_dirFd, temp.c_str(), 0);
        return false;
    }
    if (::renameat(m_dirFd, temp.c_str(), m_dirFd, name.c_str()) != 0) {
        *error = errnoText("cannot rename " + temp);
        ::unlinkat(m_dirFd, temp.c_str(), 0);
        return false;
    }
    if (::fsync(m_dirFd) != 0) {
        *error = errnoText("cannot flush " + m_path);
        return false;
    }
    return true;
}

void CDurableDirectory::remove(const std::string& name)
{
    ::unlinkat(m_dirFd, name.c_str(), 0);
}

bool CDurableDirectory::read(const std::string& name, std::string* data) const
{
    const int fd = ::openat(m_dirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    data->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(fd);
            return got == 0;
        }
        data->append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace BL::Server
