#include "diagnostics/productversion.h"

QString productVersion()
{
    return QStringLiteral(BL_PRODUCT_VERSION);
}

QString productBuildNumber()
{
    return QStringLiteral(BL_PRODUCT_BUILD);
}
