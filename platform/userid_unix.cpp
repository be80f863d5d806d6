#include "platform/logging.h"
#include "platform/userid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace BL::Platform {

namespace {

// Makes `dir` if it is missing and says whether it is ours alone: a real directory (not a link
// another user planted), owned by us, writable by nobody else. Read or search bits for others
// on our own directory are taken away; a directory others may write into is refused, since they
// could already have planted a lock or a socket in it.
bool claimPrivateDirectory(const QString& dir)
{
    const QByteArray path = QFile::encodeName(dir);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        qCWarning(lcPlatform) << "cannot create the runtime directory" << dir << std::strerror(errno);
        return false;
    }
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0) {
        qCWarning(lcPlatform) << "cannot inspect the runtime directory" << dir << std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        qCWarning(lcPlatform) << "refusing the runtime directory" << dir
                              << "(not a directory of ours that only we can write to)";
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) {
        qCWarning(lcPlatform) << "cannot make the runtime directory private" << dir << std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

QString currentUserId()
{
    return QString::number(::getuid());
}

QString privateRuntimeDirectory()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QString::fromLocal8Bit(runtime)).isDir())
        return QString::fromLocal8Bit(runtime);
    // No per-user runtime directory: one under the temp dir, unless another user got there first.
    const QString shared = QDir::tempPath() + QStringLiteral("/brightloom-") + currentUserId();
    if (claimPrivateDirectory(shared))
        return shared;
    // Then one below our own cache directory, which no one else can take from us.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!cache.isEmpty() && QDir().mkpath(cache)) {
        const QString own = cache + QStringLiteral("/brightloom-run-") + currentUserId();
        if (claimPrivateDirectory(own))
            return own;
    }
    // Last resort: a fresh private directory. Another start will not find this instance.
    QByteArray unique = QFile::encodeName(QDir::tempPath() + QStringLiteral("/brightloom-XXXXXX"));
    if (::mkdtemp(unique.data()))
        return QFile::decodeName(unique);
    qCWarning(lcPlatform) << "no private runtime directory could be made";
    return shared;
}

} // namespace BL::Platform
