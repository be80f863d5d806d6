#include "server/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace BL::Server {

namespace {

// One option of the command line: the parser and the --help text both read this, so an option
// cannot be accepted without being listed, or listed under another name or argument.
struct SOption
{
    const char* name;
    const char* argument; // nullptr: a flag, which takes no value
    const char* help;     // each '\n' starts a line under the first one
    const char* needs;    // the refusal of a missing or bad value: "<name> needs <needs>"
    // Takes the value (nullptr for a flag) into the command line; false refuses it.
    bool (*take)(const char* value, SCommandLine& line);
    const char* alias = nullptr;
};

std::optional<long long> number(const char* text, long long low, long long high)
{
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high)
        return std::nullopt;
    return parsed;
}

bool nonEmpty(const char* value, std::string& field)
{
    if (!*value)
        return false;
    field = value;
    return true;
}

bool takeListen(const char* value, SCommandLine& line)
{
    const std::string text = value;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto port = number(text.c_str() + colon + 1, 0, 65535);
    if (!port)
        return false;
    line.options.listenHost = host;
    line.options.listenPort = static_cast<int>(*port);
    return true;
}

bool takeRateLimits(const char* value, SCommandLine& line)
{
    int limits[4] = {};
    char tail = 0;
    if (std::sscanf(value, "%d,%d,%d,%d%c", &limits[0], &limits[1], &limits[2], &limits[3], &tail) != 4 ||
        *std::min_element(limits, limits + 4) < 1)
        return false;
    line.options.reservationsPerMinute = limits[0];
    line.options.signupsPerMinute = limits[1];
    line.options.signInsPerMinute = limits[2];
    line.options.reportsPerMinute = limits[3];
    return true;
}

const SOption table[] = {
    {"--listen", "HOST:PORT", "address to listen on (default 127.0.0.1:8480; port 0 picks a free one)",
     "HOST:PORT", takeListen},
    {"--data", "DIR",
     "data directory (default $XDG_DATA_HOME/brightloom-server,\n"
     "or ~/.local/share/brightloom-server)",
     "a directory",
     [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.dataDir); }},
    {"--public-url", "URL",
     "base of the links handed out (default http://HOST:PORT; needed\n"
     "with --database)",
     "a URL", [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.publicUrl); }},
    {"--database", "URL",
     "keep the metadata in this PostgreSQL database (a postgresql:// URL\n"
     "or libpq connection string) instead of DATA/brightloom.db",
     "a PostgreSQL URL",
     [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.databaseUrl); }},
    {"--db-connections", "N", "connections to it each node keeps at most (default 8)",
     "a number from 1 to 1000",
     [](const char* value, SCommandLine& line) {
         const auto count = number(value, 1, 1000);
         if (count)
             line.options.databaseConnections = static_cast<int>(*count);
         return count.has_value();
     }},
    {"--objects", "DIR",
     "where pictures/ and reports/ are kept (default DATA); with several\n"
     "nodes, a directory they all mount",
     "a directory",
     [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.objectsDir); }},
    {"--hash-key", "FILE",
     "the secret credential hashes and form tokens are keyed with\n"
     "(default DATA/hash.key); with several nodes, the same file on each",
     "a file",
     [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.hashKeyPath); }},
    {"--max-upload-mb", "N", "largest accepted picture or crash dump, in MiB (default 10)",
     "a number from 1 to 1024",
     [](const char* value, SCommandLine& line) {
         const auto mib = number(value, 1, 1024);
         if (mib)
             line.options.maxUploadBytes = static_cast<std::size_t>(*mib) * 1024 * 1024;
         return mib.has_value();
     }},
    {"--code-expiry", "SECONDS", "how long a reserved code stays usable before its upload (default 86400)",
     "a number of seconds",
     [](const char* value, SCommandLine& line) {
         const auto seconds = number(value, 1, 10LL * 365 * 24 * 3600);
         if (seconds)
             line.options.codeLifetimeMs = *seconds * 1000;
         return seconds.has_value();
     }},
    {"--max-expiry", "SECONDS",
     "longest time pictures are kept after their upload, whatever the\n"
     "client asked for (default 0: as long as asked, for good when\n"
     "nothing was asked)",
     "a number of seconds",
     [](const char* value, SCommandLine& line) {
         const auto seconds = number(value, 0, 10LL * 365 * 24 * 3600);
         if (seconds)
             line.options.maxKeepMs = *seconds * 1000;
         return seconds.has_value();
     }},
    {"--allow-private-fetch", nullptr, "let URL uploads reach loopback and private addresses", nullptr,
     [](const char*, SCommandLine& line) {
         line.options.allowPrivateFetch = true;
         return true;
     }},
    {"--disk-quota-mb", "N",
     "total size stored pictures and crash dumps may take, in MiB; an\n"
     "upload beyond it is refused (default 0: no limit)",
     "a number of MiB",
     [](const char* value, SCommandLine& line) {
         const auto mib = number(value, 0, 1LL << 30);
         if (mib)
             line.options.diskQuotaBytes = static_cast<std::uint64_t>(*mib) * 1024 * 1024;
         return mib.has_value();
     }},
    {"--quiet", nullptr, "no access log", nullptr,
     [](const char*, SCommandLine& line) {
         line.options.accessLog = false;
         return true;
     }},
    {"--trusted-proxy", "ADDRESS", "a reverse proxy whose X-Forwarded-For names the client", "an address",
     [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.trustedProxy); }},
    {"--rate-limits", "R,U,I,C",
     "reservations, sign-ups, sign-ins and crash reports one client\n"
     "address may make per minute (default 60,10,20,10)",
     "four numbers of at least 1, separated by commas", takeRateLimits},
    {"--upload-limits", "U,F",
     "uploads, and of them uploads by URL, one client address may make\n"
     "per minute (default 60,10)",
     "two numbers of at least 1, separated by a comma",
     [](const char* value, SCommandLine& line) {
         int uploads = 0;
         int fetches = 0;
         char tail = 0;
         if (std::sscanf(value, "%d,%d%c", &uploads, &fetches, &tail) != 2 || uploads < 1 || fetches < 1)
             return false;
         line.options.uploadsPerMinute = uploads;
         line.options.fetchesPerMinute = fetches;
         return true;
     }},
    {"--request-timeout", "SECONDS",
     "longest a request's body, and then its reply, may take to\n"
     "travel, whatever their pace (default 120; the header block gets\n"
     "at most 10 of them)",
     "a number of seconds from 1 to 3600",
     [](const char* value, SCommandLine& line) {
         const auto seconds = number(value, 1, 3600);
         if (!seconds)
             return false;
         line.options.connections.requestTimeoutMs = static_cast<int>(*seconds * 1000);
         line.options.connections.headerTimeoutMs =
             std::min(10000, line.options.connections.requestTimeoutMs);
         return true;
     }},
    {"--keep-alive-timeout", "SECONDS", "how long a connection may wait for its next request (default 30)",
     "a number of seconds from 1 to 3600",
     [](const char* value, SCommandLine& line) {
         const auto seconds = number(value, 1, 3600);
         if (seconds)
             line.options.connections.idleTimeoutMs = static_cast<int>(*seconds * 1000);
         return seconds.has_value();
     }},
    {"--requests-per-connection", "N", "requests one connection may carry before it is closed (default 1000)",
     "a number from 1 to 1000000",
     [](const char* value, SCommandLine& line) {
         const auto count = number(value, 1, 1000000);
         if (count)
             line.options.connections.maxRequestsPerConnection = static_cast<int>(*count);
         return count.has_value();
     }},
    {"--worker-threads", "N",
     "threads that run the requests' work, which may wait on the\n"
     "database or the disk (default: 4 per core, at least 16)",
     "a number from 1 to 1024",
     [](const char* value, SCommandLine& line) {
         const auto count = number(value, 1, 1024);
         if (count)
             line.options.threads = static_cast<int>(*count);
         return count.has_value();
     }},
    {"--connections-per-address", "N",
     "open connections one client address may hold (default 16;\n"
     "0: no cap). Behind a reverse proxy every client has its address:\n"
     "see server/README.md",
     "a number",
     [](const char* value, SCommandLine& line) {
         const auto count = number(value, 0, 100000);
         if (count)
             line.options.connections.perAddress = static_cast<int>(*count);
         return count.has_value();
     }},
    {"--admin-token", "TOKEN",
     "let the operator list crash reports at /admin/reports with\n"
     "'Authorization: Bearer TOKEN' (at least 16 characters)",
     "a token of at least 16 characters",
     [](const char* value, SCommandLine& line) {
         if (std::strlen(value) < 16)
             return false;
         line.options.adminToken = value;
         return true;
     }},
    {"--symbols", "DIR",
     "ELF files named by their build ID, for naming crash frames\n"
     "(default DATA/symbols)",
     "a directory",
     [](const char* value, SCommandLine& line) { return nonEmpty(value, line.options.symbolsDir); }},
    {"--copy-to-database", "URL",
     "copy the accounts, codes, sessions, reports and upload tokens of\n"
     "DATA/brightloom.db into this empty PostgreSQL database (and, with\n"
     "--objects, the files of DATA/pictures and DATA/reports there),\n"
     "then exit",
     "a PostgreSQL URL", [](const char* value, SCommandLine& line) { return nonEmpty(value, line.copyTo); }},
    {"--help", nullptr, "show this text", nullptr,
     [](const char*, SCommandLine& line) {
         line.help = true;
         return true;
     },
     "-h"},
};

const char intro[] =
    "Usage: brightloom-server [options]\n"
    "\n"
    "The Brightloom web service: upload API, picture pages, accounts, crash reports and update feeds.\n"
    "\n"
    "Options:\n";

const char outro[] =
    "\n"
    "Data directory: brightloom.db (SQLite), hash.key (the secret the stored credential hashes\n"
    "are keyed with; keep it with the database, which opens with no other key), pictures/,\n"
    "reports/ (crash dumps) and appcast/<platform>.xml, served as /desktop/updates/<platform>.\n"
    "Pictures: /CODE is the page, /CODE.png the first picture and /CODE-2.png the second one\n"
    "of a comparison, /CODE-thumb.png the thumbnail and /CODE-pair.png a comparison's side by\n"
    "side; /oembed?url=PAGE describes a page for chats' previews.\n";

// Where the help of an option starts, unless its name and argument reach past it.
constexpr std::size_t helpColumn = 25;

const SOption* findOption(const std::string& arg)
{
    for (const SOption& option : table)
        if (arg == option.name || (option.alias && arg == option.alias))
            return &option;
    return nullptr;
}

} // namespace

SCommandLine parseCommandLine(int argc, const char* const* argv)
{
    SCommandLine line;
    for (int i = 1; i < argc && !line.help; ++i) {
        const std::string arg = argv[i];
        const SOption* option = findOption(arg);
        if (!option) {
            line.error = "unknown option " + arg;
            break;
        }
        const char* value = nullptr;
        if (option->argument && i + 1 < argc)
            value = argv[++i];
        if ((option->argument && !value) || !option->take(value, line)) {
            line.error = std::string(option->name) + " needs " + option->needs;
            break;
        }
    }
    return line;
}

std::string usageText()
{
    std::string text = intro;
    for (const SOption& option : table) {
        std::string head = std::string("  ") + option.name;
        if (option.argument)
            head += std::string(" ") + option.argument;
        head.append(head.size() + 2 <= helpColumn ? helpColumn - head.size() : 2, ' ');
        text += head;
        for (const char* part = option.help;;) {
            const char* end = std::strchr(part, '\n');
            text.append(part, end ? end : part + std::strlen(part));
            text += '\n';
            if (!end)
                break;
            text.append(helpColumn, ' ');
            part = end + 1;
        }
    }
    return text + outro;
}

} // namespace BL::Server
