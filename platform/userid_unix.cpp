#include "platform/userid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace BL::Platform {

QString currentUserId()
{
    return QString::number(::getuid());
}

QString privateRuntimeDirectory()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QString::fromLocal8Bit(runtime)).isDir())
        return QString::fromLocal8Bit(runtime);
    // No per-user runtime directory: make one under the temp dir that only we may enter.
    const QString dir = QDir::tempPath() + QStringLiteral("/brightloom-") + currentUserId();
    QDir().mkpath(dir);
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return dir;
}

} // namespace BL::Platform
