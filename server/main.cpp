// brightloom-server: the reference web service of the Brightloom desktop client.

#include "server/files.h"
#include "server/hash_key.h"
#include "server/service.h"
#include "server/store_copy.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

const char usage[] =
    "Usage: brightloom-server [options]\n"
    "\n"
    "The Brightloom web service: upload API, picture pages, accounts, crash reports and update feeds.\n"
    "\n"
    "Options:\n"
    "  --listen HOST:PORT     address to listen on (default 127.0.0.1:8480; port 0 picks a free one)\n"
    "  --data DIR             data directory (default $XDG_DATA_HOME/brightloom-server,\n"
    "                         or ~/.local/share/brightloom-server)\n"
    "  --public-url URL       base of the links handed out (default http://HOST:PORT; needed\n"
    "                         with --database)\n"
    "  --database URL         keep the metadata in this PostgreSQL database (a postgresql:// URL\n"
    "                         or libpq connection string) instead of DATA/brightloom.db\n"
    "  --db-connections N     connections to it each node keeps at most (default 8)\n"
    "  --objects DIR          where pictures/ and reports/ are kept (default DATA); with several\n"
    "                         nodes, a directory they all mount\n"
    "  --hash-key FILE        the secret credential hashes and form tokens are keyed with\n"
    "                         (default DATA/hash.key); with several nodes, the same file on each\n"
    "  --max-upload-mb N      largest accepted picture or crash dump, in MiB (default 10)\n"
    "  --code-expiry SECONDS  how long a reserved code stays usable before its upload (default 86400)\n"
    "  --allow-private-fetch  let URL uploads reach loopback and private addresses\n"
    "  --disk-quota-mb N      total size stored pictures and crash dumps may take, in MiB; an\n"
    "                         upload beyond it is refused (default 0: no limit)\n"
    "  --quiet                no access log\n"
    "  --trusted-proxy ADDRESS  a reverse proxy whose X-Forwarded-For names the client\n"
    "  --rate-limits R,U,I,C  reservations, sign-ups, sign-ins and crash reports one client\n"
    "                         address may make per minute (default 60,10,20,10)\n"
    "  --request-timeout SECONDS  longest a connection may take from accept to the end of its\n"
    "                         reply, whatever its pace (default 120; the header block gets at\n"
    "                         most 10 of them)\n"
    "  --connections-per-address N  open connections one client address may hold (default 16;\n"
    "                         0: no cap). Behind a reverse proxy every client has its address:\n"
    "                         see server/README.md\n"
    "  --admin-token TOKEN    let the operator list crash reports at /admin/reports with\n"
    "                         'Authorization: Bearer TOKEN' (at least 16 characters)\n"
    "  --symbols DIR          ELF files named by their build ID, for naming crash frames\n"
    "                         (default DATA/symbols)\n"
    "  --copy-to-database URL  copy the accounts, codes, sessions and reports of DATA/brightloom.db\n"
    "                         into this empty PostgreSQL database (and, with --objects, the files\n"
    "                         of DATA/pictures and DATA/reports there), then exit\n"
    "  --help                 show this text\n"
    "\n"
    "Data directory: brightloom.db (SQLite), hash.key (the secret the stored credential hashes\n"
    "are keyed with; keep it with the database, which opens with no other key), pictures/,\n"
    "reports/ (crash dumps) and appcast/<platform>.xml, served as /desktop/updates/<platform>.\n"
    "Pictures: /CODE is the page, /CODE.png the first picture and /CODE-2.png the second one\n"
    "of a comparison.\n";

bool parseNumber(const char* text, long long low, long long high, long long* value)
{
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

bool parseListen(const std::string& text, BL::Server::SServiceOptions* options)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    long long port = 0;
    if (!parseNumber(text.c_str() + colon + 1, 0, 65535, &port))
        return false;
    options->listenHost = host;
    options->listenPort = static_cast<int>(port);
    return true;
}

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
    BL::Server::SServiceOptions options;
    std::string copyTo;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        long long number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--listen") {
            const char* value = next();
            if (!value || !parseListen(value, &options))
                return fail("--listen needs HOST:PORT");
        } else if (arg == "--data") {
            const char* value = next();
            if (!value || !*value)
                return fail("--data needs a directory");
            options.dataDir = value;
        } else if (arg == "--public-url") {
            const char* value = next();
            if (!value || !*value)
                return fail("--public-url needs a URL");
            options.publicUrl = value;
        } else if (arg == "--database") {
            const char* value = next();
            if (!value || !*value)
                return fail("--database needs a PostgreSQL URL");
            options.databaseUrl = value;
        } else if (arg == "--db-connections") {
            const char* value = next();
            if (!value || !parseNumber(value, 1, 1000, &number))
                return fail("--db-connections needs a number from 1 to 1000");
            options.databaseConnections = static_cast<int>(number);
        } else if (arg == "--objects") {
            const char* value = next();
            if (!value || !*value)
                return fail("--objects needs a directory");
            options.objectsDir = value;
        } else if (arg == "--hash-key") {
            const char* value = next();
            if (!value || !*value)
                return fail("--hash-key needs a file");
            options.hashKeyPath = value;
        } else if (arg == "--max-upload-mb") {
            const char* value = next();
            if (!value || !parseNumber(value, 1, 1024, &number))
                return fail("--max-upload-mb needs a number from 1 to 1024");
            options.maxUploadBytes = static_cast<std::size_t>(number) * 1024 * 1024;
        } else if (arg == "--code-expiry") {
            const char* value = next();
            if (!value || !parseNumber(value, 1, 10LL * 365 * 24 * 3600, &number))
                return fail("--code-expiry needs a number of seconds");
            options.codeLifetimeMs = number * 1000;
        } else if (arg == "--disk-quota-mb") {
            const char* value = next();
            if (!value || !parseNumber(value, 0, 1LL << 30, &number))
                return fail("--disk-quota-mb needs a number of MiB");
            options.diskQuotaBytes = static_cast<std::uint64_t>(number) * 1024 * 1024;
        } else if (arg == "--allow-private-fetch") {
            options.allowPrivateFetch = true;
        } else if (arg == "--admin-token") {
            const char* value = next();
            if (!value || std::strlen(value) < 16)
                return fail("--admin-token needs a token of at least 16 characters");
            options.adminToken = value;
        } else if (arg == "--symbols") {
            const char* value = next();
            if (!value || !*value)
                return fail("--symbols needs a directory");
            options.symbolsDir = value;
        } else if (arg == "--trusted-proxy") {
            const char* value = next();
            if (!value || !*value)
                return fail("--trusted-proxy needs an address");
            options.trustedProxy = value;
        } else if (arg == "--rate-limits") {
            const char* value = next();
            int limits[4] = {};
            char tail = 0;
            if (!value ||
                std::sscanf(value, "%d,%d,%d,%d%c", &limits[0], &limits[1], &limits[2], &limits[3], &tail) !=
                    4 ||
                *std::min_element(limits, limits + 4) < 1)
                return fail("--rate-limits needs four numbers of at least 1, separated by commas");
            options.reservationsPerMinute = limits[0];
            options.signupsPerMinute = limits[1];
            options.signInsPerMinute = limits[2];
            options.reportsPerMinute = limits[3];
        } else if (arg == "--request-timeout") {
            const char* value = next();
            if (!value || !parseNumber(value, 1, 3600, &number))
                return fail("--request-timeout needs a number of seconds from 1 to 3600");
            options.connections.requestTimeoutMs = static_cast<int>(number * 1000);
            options.connections.headerTimeoutMs = std::min(10000, options.connections.requestTimeoutMs);
        } else if (arg == "--connections-per-address") {
            const char* value = next();
            if (!value || !parseNumber(value, 0, 100000, &number))
                return fail("--connections-per-address needs a number");
            options.connections.perAddress = static_cast<int>(number);
        } else if (arg == "--copy-to-database") {
            const char* value = next();
            if (!value || !*value)
                return fail("--copy-to-database needs a PostgreSQL URL");
            copyTo = value;
        } else if (arg == "--quiet") {
            options.accessLog = false;
        } else {
            return fail("unknown option " + arg);
        }
    }

    if (!copyTo.empty())
        return copyToDatabase(options, copyTo);

    // Signals are taken by one thread with sigwait, so that stopping happens outside a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

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
