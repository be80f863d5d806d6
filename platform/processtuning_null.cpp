#include "platform/processtuning.h"

namespace BL::Platform {

void tuneProcessBeforeGui() {}

void releaseFreeMemory() {}

QStringList mappedFiles()
{
    return {};
}

void dropPagesOfFilesMappedSince(const QStringList&) {}

long long releaseLibraryPages()
{
    return 0;
}

} // namespace BL::Platform
