#include "server/hash_key.h"

#include "server/util.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace BL::Server {

namespace {

constexpr std::size_t secretHexLength = 64;

std::string errnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool isSecret(const std::string& text)
{
    return text.size() == secretHexLength && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The secret in `path`, or empty when there is no such file.
std::string readSecret(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::string();
        throw std::runtime_error(errnoText("cannot read the hash key " + path));
    }
    struct stat info;
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        // Loosened permissions are tightened again: the file is as secret as the passwords.
        if ((info.st_mode & 077) != 0)
            ::fchmod(fd, 0600);
        char buffer[secretHexLength + 2];
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= secretHexLength + 1)
            text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (!isSecret(text))
        throw std::runtime_error("the hash key " + path +
                                 " holds no key; restore it from a backup (a new key would lock every "
                                 "account out)");
    return text;
}

// Writes a new secret under a temporary name and links it into place, so that the file
// appears whole or not at all, and of two services starting at once the first one wins.
void createSecret(const std::string& path)
{
    const std::string temporary = path + ".tmp-" + randomHex(8);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error(errnoText("cannot create the hash key " + path));
    const std::string text = randomHex(secretHexLength / 2) + "\n";
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        throw std::runtime_error(errnoText("cannot write the hash key " + path));
    }
    const int linked = ::link(temporary.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked != 0 && linkError != EEXIST) {
        errno = linkError;
        throw std::runtime_error(errnoText("cannot create the hash key " + path));
    }
    const std::string directory = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

} // namespace

CHashKey CHashKey::loadOrCreate(const std::string& path)
{
    std::string secret = readSecret(path);
    if (secret.empty()) {
        createSecret(path);
        secret = readSecret(path);
    }
    return CHashKey(secret);
}

std::string CHashKey::keyed(const std::string& clientHash) const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), m_secret.data(), static_cast<int>(m_secret.size()),
              reinterpret_cast<const unsigned char*>(clientHash.data()), clientHash.size(), digest, &length))
        throw std::runtime_error("HMAC-SHA-256 failed");
    return toHex(digest, length);
}

} // namespace BL::Server
