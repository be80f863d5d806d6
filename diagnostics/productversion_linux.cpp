#include "diagnostics/productversion.h"

// Without version resources the build writes the text in: the project version plus the build
// number, four dotted parts.
#include "brightloom_build.h"

QString productVersion()
{
    return QStringLiteral(BL_PRODUCT_VERSION);
}
