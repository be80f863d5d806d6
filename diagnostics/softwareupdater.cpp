#include "diagnostics/softwareupdater.h"

#include <QProcessEnvironment>

QString appcastUrl()
{
    // Unlike the crash endpoint, an empty override means "not set".
    const QString url =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("BL_APPCAST_URL"), QString());
    return url.isEmpty() ? defaultAppcastUrl() : url;
}
