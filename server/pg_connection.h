#pragma once

#include "server/pg_timeouts.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace BL::Server {

// One parameter of a statement: text, a number, or NULL.
struct SPgParam
{
    SPgParam(std::nullptr_t) : null(true) {}
    SPgParam(std::string value) : text(std::move(value)) {}
    SPgParam(const char* value) : text(value) {}
    SPgParam(std::int64_t value) : text(std::to_string(value)) {}
    SPgParam(int value) : text(std::to_string(value)) {}

    bool null = false;
    std::string text;
};

// The rows of one statement's result.
class CPgResult
{
public:
    explicit CPgResult(pg_result* result) : m_result(result) {}
    ~CPgResult();
    CPgResult(CPgResult&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    CPgResult(const CPgResult&) = delete;
    CPgResult& operator=(const CPgResult&) = delete;
    CPgResult& operator=(CPgResult&& other) noexcept;

    pg_result* raw() const { return m_result; }
    pg_result* release()
    {
        pg_result* result = m_result;
        m_result = nullptr;
        return result;
    }

    // True when the statement ran: rows came back, or a command completed.
    bool ok() const;
    int rows() const;
    // Rows an INSERT, UPDATE or DELETE touched.
    int affected() const;
    bool isNull(int row, int column) const;
    std::string text(int row, int column) const;
    std::int64_t integer(int row, int column) const;

private:
    pg_result* m_result;
};

using CPgClock = std::chrono::steady_clock;

// The connection failed, was dropped or did not answer in time: a statement sent on it may or may
// not have run. Other failures (a constraint, a syntax error) are plain std::runtime_error.
class CPgConnectionError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One connection to the database. Statements run on libpq's asynchronous calls under a deadline;
// one that fails throws std::runtime_error, one that finds the connection lost or gets no answer
// in time throws CPgConnectionError and leaves the connection broken (the pool drops it).
class CPgConnection
{
public:
    // Throws CPgConnectionError when the database cannot be reached by `deadline`, and
    // std::runtime_error when it refuses the connection.
    CPgConnection(const std::string& conninfo, const SPgTimeouts& timeouts, CPgClock::time_point deadline);
    // Within the connect time-out.
    explicit CPgConnection(const std::string& conninfo, const SPgTimeouts& timeouts = {});
    ~CPgConnection();
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    // Within the statement time-out.
    CPgResult exec(const char* sql, const std::vector<SPgParam>& params = {});
    // By `deadline` or the statement time-out, whichever comes first.
    CPgResult execBy(CPgClock::time_point deadline, const char* sql,
                     const std::vector<SPgParam>& params = {});
    // Several statements without parameters, in one go; `timeoutMs` 0: the statement time-out.
    void execScript(const char* sql, int timeoutMs = 0);

    // False once the connection failed; it is not used again.
    bool broken() const { return m_broken; }
    // True when it can take a statement: not broken, no transaction left open, and the server
    // has not closed it while it was idle (a restart, an administrator's kill).
    bool reusable();
    // The server process of this connection, for pg_terminate_backend().
    int backendPid() const { return m_backendPid; }

private:
    pg_result* run(const char* sql, const std::vector<SPgParam>* params, CPgClock::time_point deadline);
    [[noreturn]] void fail(const std::string& what);
    [[noreturn]] void giveUp(int waitedMs);

    pg_conn* m_conn = nullptr;
    const int m_statementMs;
    int m_backendPid = 0;
    bool m_broken = false;
};

// A fixed set of connections shared by the request threads: a thread takes one for the length of
// a statement or transaction and waits, for a bounded time, when all are taken. A broken
// connection is dropped when given back and a fresh one opened on a later acquire, so the pool
// recovers by itself once the database answers again.
class CPgPool
{
public:
    // Opens the first connection at once, so that a wrong address or password shows at start;
    // throws std::runtime_error.
    CPgPool(std::string conninfo, int size, SPgTimeouts timeouts = {});
    ~CPgPool();

    class CLease
    {
    public:
        CLease(CPgPool& pool, std::unique_ptr<CPgConnection> connection)
            : m_pool(pool), m_connection(std::move(connection))
        {
        }
        ~CLease() { m_pool.giveBack(std::move(m_connection)); }
        CLease(const CLease&) = delete;
        CLease& operator=(const CLease&) = delete;

        CPgConnection* operator->() { return m_connection.get(); }
        CPgConnection& operator*() { return *m_connection; }

    private:
        CPgPool& m_pool;
        std::unique_ptr<CPgConnection> m_connection;
    };

    // Within the wait time-out; throws CPgConnectionError when no connection frees up or none can
    // be opened in time.
    CLease acquire();
    CLease acquireBy(CPgClock::time_point deadline);

    const SPgTimeouts& timeouts() const { return m_timeouts; }

private:
    void giveBack(std::unique_ptr<CPgConnection> connection) noexcept;

    const std::string m_conninfo;
    const int m_size;
    const SPgTimeouts m_timeouts;
    std::mutex m_mutex;
    std::condition_variable m_returned;
    std::vector<std::unique_ptr<CPgConnection>> m_idle;
    int m_open = 0;
};

// BEGIN until commit(); rolled back when left otherwise, by a return or an exception.
class CPgTransaction
{
public:
    explicit CPgTransaction(CPgConnection& connection);
    ~CPgTransaction();
    CPgTransaction(const CPgTransaction&) = delete;
    CPgTransaction& operator=(const CPgTransaction&) = delete;

    void commit();

private:
    CPgConnection& m_connection;
    bool m_done = false;
};

} // namespace BL::Server
