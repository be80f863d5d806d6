#include "server/files.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace BL::Server {

namespace {

const char tempPrefix[] = ".tmp-";

std::int64_t modifiedMs(const struct stat& info)
{
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

std::string hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    std::string host(name);
    // The separator of the temporary's name, and a path separator, cannot be part of it.
    for (char& c : host)
        if (c == '+' || c == '/')
            c = '_';
    return host;
}

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

CDurableDirectory::CDurableDirectory(const std::string& path, std::int64_t staleTempMs)
    : m_path(path), m_tempPrefix(tempPrefix + hostName() + "+" + std::to_string(::getpid()) + "+")
{
    makeDirectories(path);
    m_dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0)
        throw std::runtime_error(errnoText("cannot open " + path));
    removeDeadTemporaries(staleTempMs);
}

void CDurableDirectory::removeDeadTemporaries(std::int64_t staleTempMs)
{
    // Other nodes write into the same directory while this one starts: a temporary goes only when
    // its writer is known to be dead (this host, no such process) or it has been left far longer
    // than any write takes.
    const std::string thisHost = m_tempPrefix.substr(0, m_tempPrefix.find('+') + 1);
    const std::int64_t nowMs = clockMs();
    const int fd = ::openat(m_dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, sizeof tempPrefix - 1, tempPrefix) != 0)
            continue;
        bool dead = false;
        if (name.compare(0, thisHost.size(), thisHost) == 0) {
            const long pid = std::strtol(name.c_str() + thisHost.size(), nullptr, 10);
            dead = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        }
        struct stat info
        {
        };
        if (!dead && nowMs >= 0 && ::fstatat(m_dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            dead = nowMs - modifiedMs(info) >= staleTempMs;
        if (dead)
            ::unlinkat(m_dirFd, name.c_str(), 0);
    }
    ::closedir(dir);
}

std::int64_t CDurableDirectory::clockMs()
{
    static std::atomic<unsigned> probes{0};
    const std::string name = m_tempPrefix + "clock-" + std::to_string(++probes);
    const int fd = ::openat(m_dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat info
    {
    };
    const bool stamped = ::fstat(fd, &info) == 0;
    ::close(fd);
    ::unlinkat(m_dirFd, name.c_str(), 0);
    return stamped ? modifiedMs(info) : -1;
}

CDurableDirectory::~CDurableDirectory()
{
    if (m_dirFd >= 0)
        ::close(m_dirFd);
}

bool CDurableDirectory::put(const std::string& name, std::string_view data, std::string* error)
{
    const std::string temp = m_tempPrefix + name;
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

bool CDurableDirectory::get(const std::string& name, std::string* data) const
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

namespace {

class CFileReader : public CObjectReader
{
public:
    CFileReader(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~CFileReader() override { ::close(m_fd); }
    CFileReader(const CFileReader&) = delete;
    CFileReader& operator=(const CFileReader&) = delete;

    std::uint64_t size() const override { return m_size; }
    std::size_t read(std::uint64_t offset, char* buffer, std::size_t length) override
    {
        for (;;) {
            const ssize_t got = ::pread(m_fd, buffer, length, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR)
                continue;
            return got < 0 ? 0 : static_cast<std::size_t>(got);
        }
    }

private:
    const int m_fd;
    const std::uint64_t m_size;
};

} // namespace

std::unique_ptr<CObjectReader> CDurableDirectory::open(const std::string& name) const
{
    const int fd = ::openat(m_dirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<CFileReader>(fd, static_cast<std::uint64_t>(info.st_size));
}

std::vector<SObjectEntry> CDurableDirectory::list() const
{
    std::vector<SObjectEntry> entries;
    const int fd = ::openat(m_dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return entries;
    }
    while (const dirent* entry = ::readdir(dir)) {
        struct stat info
        {
        };
        // Hidden names are temporaries, left to the constructor's clean-up.
        if (entry->d_name[0] == '.' || ::fstatat(m_dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode))
            continue;
        entries.push_back({entry->d_name, static_cast<std::uint64_t>(info.st_size), modifiedMs(info)});
    }
    ::closedir(dir);
    return entries;
}

} // namespace BL::Server
