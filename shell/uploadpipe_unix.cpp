#include "platform/userid.h"
#include "shell/uploadmessage.h"

namespace BL::Shell {

QString uploadPipeName()
{
    // Beside the single-instance socket: a directory nobody else may enter.
    return BL::Platform::privateRuntimeDirectory() + QStringLiteral("/brightloompipe");
}

} // namespace BL::Shell
