#include "diagnostics/productversion.h"

#include <QStringList>

int buildNumberOf(const QString& version)
{
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.isEmpty())
        return 0;
    bool ok = false;
    const int number = parts.last().toLatin1().toInt(&ok, 10);
    return ok ? number : 0;
}

int productBuildNumber()
{
    return buildNumberOf(productVersion());
}
