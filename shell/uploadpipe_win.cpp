#include "shell/uploadmessage.h"

namespace BL::Shell {

QString uploadPipeName()
{
    // The name the shell extension connects to; the server restricts it to this user.
    return QStringLiteral("\\\\.\\pipe\\brightloompipe");
}

} // namespace BL::Shell
