#include "platform/processtuning.h"

#include <QByteArray>
#include <QtGlobal>
#include <malloc.h>

namespace BL::Platform {

void tuneProcessBeforeGui()
{
    // We draw with the raster engine only. Without this the X11 plugin loads
    // GLX to pick visuals for translucent windows, which on machines without a
    // GPU brings in a software renderer of some 40 MiB at the first overlay.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", QByteArrayLiteral("none"));
    // Worker threads (PNG encoding) would otherwise get arenas of their own.
    mallopt(M_ARENA_MAX, 2);
}

void releaseFreeMemory()
{
    // Picture-sized blocks are reused from the heap during a shot (fresh
    // mappings would cost page faults on the hot path); once idle, give the
    // free pages back.
    malloc_trim(0);
}

} // namespace BL::Platform
