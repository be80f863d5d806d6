#include "platform/processtuning.h"

namespace BL::Platform {

void tuneProcessBeforeGui() {}

void releaseFreeMemory() {}

QStringList mappedFiles()
{
    return {};
}

void dropPagesOfFilesMappedSince(const QStringList&) {}

long long releaseLoaderPages()
{
    return 0;
}

} // namespace BL::Platform
