#pragma once

namespace BL::Server {

// How long the service waits on the database, so that a database or network that stops answering
// costs a request an error instead of a worker thread for good.
struct SPgTimeouts
{
    // Opening a connection: TCP connect, authentication and start-up.
    int connectMs = 3000;
    // One statement, from sending it to its whole result. Past it the statement is cancelled and its
    // connection dropped; the pool opens a fresh one later.
    int statementMs = 10000;
    // Waiting for a free pooled connection while all are taken.
    int acquireMs = 5000;
    // The whole health check (wait for a connection, open it if need be, SELECT 1), so that a
    // balancer's probe gets its 503 in time.
    int pingMs = 1000;
    // TCP keepalive on every connection: idle seconds before the first probe, seconds between
    // probes, and probes unanswered before the kernel gives the connection up.
    int keepaliveIdleS = 10;
    int keepaliveIntervalS = 5;
    int keepaliveCount = 3;
};

} // namespace BL::Server
