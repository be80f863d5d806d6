#include "platform/userid.h"

#include <QDir>
#include <QStandardPaths>
#include <windows.h>

namespace BL::Platform {

QString currentUserId()
{
    wchar_t name[257] = {};
    DWORD size = 257;
    if (!GetUserNameW(name, &size))
        return QStringLiteral("user");
    return QString::fromWCharArray(name);
}

QString privateRuntimeDirectory()
{
    // Local application data is per user and not readable by other accounts.
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    return dir;
}

} // namespace BL::Platform
