#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <string>
#include <utility>

namespace BL::Test {

// One run of the real brightloom-server binary on an ephemeral loopback port, its stderr in a file.
class CServerProcess
{
public:
    CServerProcess(const QString& dataDir, const QString& logPath, const QStringList& extra = {});
    ~CServerProcess();

    std::string logText() const;
    // The resident memory of the process in KiB, or -1.
    long residentKiB() const;

    QProcess process;
    QString log;
    int port = 0;
};

// A TCP connection to 127.0.0.1:`port` from the loopback address `source`, which the service
// takes for another client; -1 on failure. Receives time out after `timeoutMs`.
int connectFrom(const char* source, int port, int timeoutMs = 5000);
// A port of 127.0.0.1 that nothing listens on right now, for a server the test starts.
int freeLoopbackPort();
// Everything the peer sends until it closes, times out or resets.
std::string readAll(int fd);
// Whether the peer sent something or hung up within `timeoutMs`; nothing is read.
bool waitReadable(int fd, int timeoutMs = 10000);
// The next `size` bytes from the peer; fewer when it hangs up or `timeoutMs` passes.
std::string readExactly(int fd, std::size_t size, int timeoutMs = 10000);
// Whether 127.0.0.1:`port` refuses a connection; one that opens is closed again.
bool connectionRefused(int port);
// The status of a raw HTTP reply (0 when there is none) and its body.
std::pair<int, std::string> splitReply(const std::string& reply);

// A form POST from a chosen loopback source address, with `extraHeaders` (each line ending in
// CRLF). Returns the status (0 when no answer came) and the body.
std::pair<int, std::string> postFrom(const char* source, int port, const std::string& path,
                                     const std::string& body, const std::string& extraHeaders = {});

} // namespace BL::Test
