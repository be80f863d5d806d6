#include "platform/processtuning.h"

namespace BL::Platform {

void tuneProcessBeforeGui() {}

void releaseFreeMemory() {}

long long heapBytesInUse()
{
    return -1;
}

QStringList mappedFiles()
{
    return {};
}

void dropPagesOfFilesMappedSince(const QStringList&) {}

long long releaseLibraryPages()
{
    return 0;
}

long long releaseMappedFilePages()
{
    return 0;
}

} // namespace BL::Platform
