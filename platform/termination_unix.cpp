#include "platform/backendfactories.h"
#include "platform/logging.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace BL::Platform {

namespace {

// The process has one set of handlers, so one pipe for all of them.
int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop does the rest.
void onSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

// Signals reach every window system alike, so this serves all of them.
class CPosixTermination final : public CAbstractTermination
{
public:
    void quitOnTerminationRequest() override
    {
        if (g_signalPipe[0] >= 0)
            return;
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
            qCWarning(lcPlatform) << "cannot watch for termination signals";
            return;
        }
        auto* notifier =
            new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
            char byte = 0;
            [[maybe_unused]] const auto got = ::read(g_signalPipe[0], &byte, 1);
            qCDebug(lcPlatform) << "quitting on signal" << int(byte);
            QCoreApplication::quit();
        });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }
};

} // namespace

std::unique_ptr<CAbstractTermination> createSystemTermination()
{
    return std::make_unique<CPosixTermination>();
}

} // namespace BL::Platform
