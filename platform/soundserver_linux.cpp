#include "platform/soundserver.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace BL::Platform {

namespace {

// True when a server accepts connections on the Unix socket `path`; a socket file left behind by
// a server that is gone refuses them.
bool acceptsConnections(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address = {};
    if (native.isEmpty() || native.size() >= static_cast<int>(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::copy(native.cbegin(), native.cend(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

} // namespace

bool soundServerReachable(QString* why)
{
    // Qt plays sound effects through PulseAudio (or PipeWire's stand-in for it) here.
    // A server named by the environment may be remote: trust it, the person set it up.
    if (!qEnvironmentVariableIsEmpty("PULSE_SERVER"))
        return true;
    QStringList sockets;
    if (!qEnvironmentVariableIsEmpty("PULSE_RUNTIME_PATH"))
        sockets << qEnvironmentVariable("PULSE_RUNTIME_PATH") + QStringLiteral("/native");
    const QString runtime = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")
                                ? QStringLiteral("/run/user/%1").arg(::getuid())
                                : qEnvironmentVariable("XDG_RUNTIME_DIR");
    sockets << runtime + QStringLiteral("/pulse/native") << QStringLiteral("/run/pulse/native");
    for (const QString& socket : sockets)
        if (acceptsConnections(socket))
            return true;
    if (why)
        *why = QStringLiteral("no sound server answers at %1").arg(sockets.join(QStringLiteral(", ")));
    return false;
}

} // namespace BL::Platform
