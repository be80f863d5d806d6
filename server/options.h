#pragma once

#include "server/pg_timeouts.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace BL::Server {

struct SConnectionLimits
{
    int perAddress = 16;           // open connections one client address (an IPv6 /64) may hold; 0: no cap
    int requestTimeoutMs = 120000; // for the body and for the reply, whatever the pace
    int headerTimeoutMs = 10000;   // for the whole header block, not per read
    int idleTimeoutMs = 30000;     // a persistent connection between two requests
    int maxRequestsPerConnection = 1000;
    std::size_t maxHeaderBytes = 16 * 1024;
    int maxHeaderLines = 64;
};

struct SServiceOptions
{
    std::string listenHost = "127.0.0.1";
    int listenPort = 8480; // 0 picks a free port
    std::string dataDir;
    // A PostgreSQL connection string or postgresql:// URL for the metadata; empty: SQLite in dataDir.
    std::string databaseUrl;
    int databaseConnections = 8;
    // How long a node waits on PostgreSQL: connect, statement, pool wait, health check, keepalive.
    SPgTimeouts databaseTimeouts;
    // Where pictures/ and reports/ live (a directory all nodes mount); empty: dataDir.
    std::string objectsDir;
    // The secret the credential hashes and form tokens are keyed with, the same file on every
    // node; empty: dataDir/hash.key.
    std::string hashKeyPath;
    std::string publicUrl; // empty: "http://" + the address actually listened on
    std::size_t maxUploadBytes = 10 * 1024 * 1024;
    bool allowPrivateFetch = false;
    std::int64_t codeLifetimeMs = 24LL * 60 * 60 * 1000;
    // The longest time pictures are kept after their upload, whatever their reservation asked
    // for; 0: as long as asked, and for good when nothing was asked.
    std::int64_t maxKeepMs = 0;
    int fetchTimeoutMs = 10000;
    bool accessLog = true;
    int threads = 0;        // worker threads for the handlers; 0: a default fitted to the machine
    std::string adminToken; // empty: no operator listing of crash reports
    std::string symbolsDir; // ELF files named by build ID; empty: <data>/symbols
    // Failed credential checks one client address may make in a minute before it gets 429.
    int failedChecksPerMinute = 20;
    // Requests one client address may make in a minute; beyond it they are refused.
    int reservationsPerMinute = 60;
    int signupsPerMinute = 10;
    int signInsPerMinute = 20;
    int reportsPerMinute = 10;
    // Uploads one client address may make in a minute, and of them the ones by URL, each of
    // which makes the service fetch up to maxUploadBytes from elsewhere.
    int uploadsPerMinute = 60;
    int fetchesPerMinute = 10;
    // The address of a reverse proxy whose X-Forwarded-For names the client; empty: none.
    std::string trustedProxy;
    // How often expired unclaimed codes, expired sessions and pictures whose time ran out are
    // deleted.
    std::int64_t purgeIntervalMs = 60 * 1000;
    // Files no row names are removed at start once they are this old.
    std::int64_t orphanAgeMs = 5 * 60 * 1000;
    // The total size stored pictures and crash reports may take; 0: no limit.
    std::uint64_t diskQuotaBytes = 0;
    SConnectionLimits connections;
    // Complete requests that may wait for a worker thread; beyond it they are refused with 503.
    int maxWaitingConnections = 1024;
};

} // namespace BL::Server
