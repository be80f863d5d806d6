// brightloom-server: the reference web service of the Brightloom desktop client.

#include "server/command_line.h"
#include "server/files.h"
#include "server/hash_key.h"
#include "server/service.h"
#include "server/store_copy.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

// The one-off move of a single node's SQLite store to the database several nodes share.
int copyToDatabase(BL::Server::SServiceOptions options, const std::string& conninfo)
{
    using namespace BL::Server;
    if (options.dataDir.empty())
        options.dataDir = defaultDataDir();
    try {
        const CHashKey key = CHashKey::loadOrCreate(
            options.hashKeyPath.empty() ? options.dataDir + "/hash.key" : options.hashKeyPath);
        std::unique_ptr<CDurableDirectory> from[2];
        std::unique_ptr<CDurableDirectory> to[2];
        if (!options.objectsDir.empty() && options.objectsDir != options.dataDir) {
            makeDirectories(options.objectsDir);
            const char* kinds[2] = {"/pictures", "/reports"};
            for (int i = 0; i < 2; ++i) {
                from[i] = std::make_unique<CDurableDirectory>(options.dataDir + kinds[i]);
                to[i] = std::make_unique<CDurableDirectory>(options.objectsDir + kinds[i]);
            }
        }
        const std::string copied = copySqliteToPg(options.dataDir + "/brightloom.db", conninfo, key,
                                                  from[0].get(), to[0].get(), from[1].get(), to[1].get());
        std::printf("brightloom-server: %s\n", copied.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brightloom-server: %s\n", e.what());
        return 1;
    }
    return 0;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "brightloom-server: %s\nTry 'brightloom-server --help'.\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const BL::Server::SCommandLine line = BL::Server::parseCommandLine(argc, argv);
    if (line.help) {
        std::fputs(BL::Server::usageText().c_str(), stdout);
        return 0;
    }
    if (!line.error.empty())
        return fail(line.error);
    const BL::Server::SServiceOptions& options = line.options;
    if (!line.copyTo.empty())
        return copyToDatabase(options, line.copyTo);

    // Signals are taken by one thread with sigwait, so that stopping happens outside a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Idle persistent connections are cheap to hold; the descriptor limit must not be what ends them.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    try {
        BL::Server::CService service(options);
        const int port = service.bind();
        std::fprintf(stderr, "brightloom-server: listening on %s:%d, links under %s\n",
                     options.listenHost.c_str(), port, service.publicUrl().c_str());
        std::thread stopper([&service, &stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            // No new connections from here; those under way are answered before run() returns.
            std::fprintf(stderr, "brightloom-server: %s received, finishing the requests under way\n",
                         signal == SIGINT ? "SIGINT" : "SIGTERM");
            service.stop();
        });
        service.run();
        // run() also ends when listening fails; wake the stopper so it can be joined.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        std::fprintf(stderr, "brightloom-server: stopped\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brightloom-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
