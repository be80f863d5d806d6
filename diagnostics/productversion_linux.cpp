#include "diagnostics/productversion.h"

// Without version resources the build writes the text in: the project version plus the build
// number, four dotted parts.
#ifndef BL_PRODUCT_VERSION
#error "BL_PRODUCT_VERSION must be defined by the build"
#endif

QString productVersion()
{
    return QStringLiteral(BL_PRODUCT_VERSION);
}
