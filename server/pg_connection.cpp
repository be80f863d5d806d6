#include "server/pg_connection.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <libpq-fe.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace BL::Server {

CPgResult::~CPgResult()
{
    PQclear(m_result);
}

CPgResult& CPgResult::operator=(CPgResult&& other) noexcept
{
    if (this != &other) {
        PQclear(m_result);
        m_result = other.release();
    }
    return *this;
}

bool CPgResult::ok() const
{
    const ExecStatusType status = PQresultStatus(m_result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int CPgResult::rows() const
{
    return PQntuples(m_result);
}

int CPgResult::affected() const
{
    return std::atoi(PQcmdTuples(m_result));
}

bool CPgResult::isNull(int row, int column) const
{
    return PQgetisnull(m_result, row, column) != 0;
}

std::string CPgResult::text(int row, int column) const
{
    return std::string(PQgetvalue(m_result, row, column),
                       static_cast<std::size_t>(PQgetlength(m_result, row, column)));
}

std::int64_t CPgResult::integer(int row, int column) const
{
    return std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10);
}

namespace {

int millisecondsUntil(CPgClock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CPgClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 24LL * 3600 * 1000));
}

// Waits until `fd` is ready for `events`; false when the deadline passed first.
bool waitFor(int fd, short events, CPgClock::time_point deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return ready < 0; // a poll error is left to libpq to report
    }
}

std::string trimmed(std::string message)
{
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

// libpq's cancel request waits for the server to close its socket, which a frozen server never
// does: it runs on a thread of its own, a few at most, and the connection is dropped anyway.
std::atomic<int> cancelsUnderway{0};

void cancelInBackground(pg_conn* connection)
{
    PGcancel* cancel = PQgetCancel(connection);
    if (!cancel)
        return;
    if (++cancelsUnderway > 4) {
        --cancelsUnderway;
        PQfreeCancel(cancel);
        return;
    }
    try {
        std::thread([cancel] {
            char error[256];
            PQcancel(cancel, error, sizeof error);
            PQfreeCancel(cancel);
            --cancelsUnderway;
        }).detach();
    } catch (const std::system_error&) {
        --cancelsUnderway;
        PQfreeCancel(cancel);
    }
}

} // namespace

CPgConnection::CPgConnection(const std::string& conninfo, const SPgTimeouts& timeouts,
                             CPgClock::time_point deadline)
    : m_statementMs(timeouts.statementMs)
{
    // Keepalives find a peer that vanished without a word while the connection idles in the pool;
    // the user timeout does the same for data sent and never acknowledged. The connection string
    // comes last, so what it says itself wins.
    const std::string idle = std::to_string(timeouts.keepaliveIdleS);
    const std::string interval = std::to_string(timeouts.keepaliveIntervalS);
    const std::string count = std::to_string(timeouts.keepaliveCount);
    const std::string userTimeout = std::to_string(
        (timeouts.keepaliveIdleS + timeouts.keepaliveIntervalS * timeouts.keepaliveCount) * 1000);
    const char* const keys[] = {"keepalives",
                                "keepalives_idle",
                                "keepalives_interval",
                                "keepalives_count",
                                "tcp_user_timeout",
                                "dbname",
                                nullptr};
    const char* const values[] = {
        "1", idle.c_str(), interval.c_str(), count.c_str(), userTimeout.c_str(), conninfo.c_str(), nullptr};
    m_conn = PQconnectStartParams(keys, values, 1);
    if (!m_conn)
        throw std::runtime_error("cannot connect to the database: out of memory");
    PostgresPollingStatusType state =
        PQstatus(m_conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED) {
            const std::string message = trimmed(PQerrorMessage(m_conn));
            PQfinish(m_conn);
            throw CPgConnectionError("cannot connect to the database: " + message);
        }
        if (!waitFor(PQsocket(m_conn), state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
            PQfinish(m_conn);
            throw CPgConnectionError("cannot connect to the database: no answer in time");
        }
        state = PQconnectPoll(m_conn);
    }
    // Sending never blocks either: a statement waits in poll() under its deadline.
    PQsetnonblocking(m_conn, 1);
    m_backendPid = PQbackendPID(m_conn);
    // Notices (such as "relation already exists, skipping") are not for the service's log.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
}

CPgConnection::CPgConnection(const std::string& conninfo, const SPgTimeouts& timeouts)
    : CPgConnection(conninfo, timeouts, CPgClock::now() + std::chrono::milliseconds(timeouts.connectMs))
{
}

CPgConnection::~CPgConnection()
{
    PQfinish(m_conn);
}

CPgResult CPgConnection::exec(const char* sql, const std::vector<SPgParam>& params)
{
    return CPgResult(run(sql, &params, CPgClock::now() + std::chrono::milliseconds(m_statementMs)));
}

CPgResult CPgConnection::execBy(CPgClock::time_point deadline, const char* sql,
                                const std::vector<SPgParam>& params)
{
    return CPgResult(
        run(sql, &params, std::min(deadline, CPgClock::now() + std::chrono::milliseconds(m_statementMs))));
}

void CPgConnection::execScript(const char* sql, int timeoutMs)
{
    const CPgResult result(
        run(sql, nullptr,
            CPgClock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : m_statementMs)));
}

bool CPgConnection::reusable()
{
    if (m_broken || PQstatus(m_conn) != CONNECTION_OK || PQtransactionStatus(m_conn) != PQTRANS_IDLE)
        return false;
    // An idle connection has nothing to read unless the server is closing it (its last words, such
    // as "terminating connection due to administrator command", come before the end of the stream).
    pollfd entry{PQsocket(m_conn), POLLIN, 0};
    if (::poll(&entry, 1, 0) != 0)
        m_broken = true;
    return !m_broken;
}

void CPgConnection::fail(const std::string& what)
{
    m_broken = true;
    throw CPgConnectionError("database connection lost: " + what);
}

void CPgConnection::giveUp(int waitedMs)
{
    m_broken = true;
    cancelInBackground(m_conn);
    throw CPgConnectionError("the database did not answer within " + std::to_string(waitedMs) + " ms");
}

pg_result* CPgConnection::run(const char* sql, const std::vector<SPgParam>* params,
                              CPgClock::time_point deadline)
{
    if (m_broken)
        throw CPgConnectionError("database connection lost earlier");
    const auto started = CPgClock::now();
    const auto waited = [started] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(CPgClock::now() - started).count());
    };
    int sent = 0;
    if (params) {
        std::vector<const char*> values;
        values.reserve(params->size());
        for (const SPgParam& param : *params)
            values.push_back(param.null ? nullptr : param.text.c_str());
        sent = PQsendQueryParams(m_conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                                 nullptr, nullptr, 0);
    } else {
        sent = PQsendQuery(m_conn, sql);
    }
    if (!sent)
        fail(trimmed(PQerrorMessage(m_conn)));
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed == 0)
            break;
        if (flushed < 0)
            fail(trimmed(PQerrorMessage(m_conn)));
        if (!waitFor(PQsocket(m_conn), POLLOUT | POLLIN, deadline))
            giveUp(waited());
        if (!PQconsumeInput(m_conn))
            fail(trimmed(PQerrorMessage(m_conn)));
    }
    // Every result is read, so that the connection is ready for the next statement; the first
    // error (a script stops at it) or else the last result is what counts.
    CPgResult last(nullptr);
    std::unique_ptr<CPgResult> error;
    for (;;) {
        while (!PQisBusy(m_conn)) {
            pg_result* result = PQgetResult(m_conn);
            if (!result) {
                if (PQstatus(m_conn) != CONNECTION_OK)
                    fail(error ? trimmed(PQresultErrorMessage(error->raw()))
                               : trimmed(PQerrorMessage(m_conn)));
                if (error)
                    throw std::runtime_error("database error: " +
                                             trimmed(PQresultErrorMessage(error->raw())));
                return last.release();
            }
            const ExecStatusType status = PQresultStatus(result);
            if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY)
                last = CPgResult(result);
            else if (!error)
                error = std::make_unique<CPgResult>(result);
            else
                PQclear(result);
        }
        if (!waitFor(PQsocket(m_conn), POLLIN, deadline))
            giveUp(waited());
        if (!PQconsumeInput(m_conn))
            fail(trimmed(PQerrorMessage(m_conn)));
    }
}

CPgPool::CPgPool(std::string conninfo, int size, SPgTimeouts timeouts)
    : m_conninfo(std::move(conninfo)), m_size(size < 1 ? 1 : size), m_timeouts(timeouts)
{
    m_idle.push_back(std::make_unique<CPgConnection>(
        m_conninfo, m_timeouts, CPgClock::now() + std::chrono::milliseconds(m_timeouts.connectMs)));
    m_open = 1;
}

CPgPool::~CPgPool() = default;

CPgPool::CLease CPgPool::acquire()
{
    return acquireBy(CPgClock::now() + std::chrono::milliseconds(m_timeouts.acquireMs));
}

CPgPool::CLease CPgPool::acquireBy(CPgClock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (!m_returned.wait_until(lock, deadline, [this] { return !m_idle.empty() || m_open < m_size; }))
            throw CPgConnectionError("no database connection came free in time");
        if (m_idle.empty())
            break;
        std::unique_ptr<CPgConnection> connection = std::move(m_idle.back());
        m_idle.pop_back();
        if (connection->reusable())
            return CLease(*this, std::move(connection));
        // Closed by the server while it idled: open a fresh one in its place.
        --m_open;
        lock.unlock();
        connection.reset();
        lock.lock();
    }
    ++m_open;
    lock.unlock();
    try {
        const auto connectBy =
            std::min(deadline, CPgClock::now() + std::chrono::milliseconds(m_timeouts.connectMs));
        return CLease(*this, std::make_unique<CPgConnection>(m_conninfo, m_timeouts, connectBy));
    } catch (...) {
        lock.lock();
        --m_open;
        m_returned.notify_one();
        throw;
    }
}

void CPgPool::giveBack(std::unique_ptr<CPgConnection> connection) noexcept
{
    // A lease whose connection broke, or that was left inside a transaction, gives back nothing
    // reusable; the slot frees up for a fresh connection.
    const bool keep = connection && !connection->broken() && connection->reusable();
    if (!keep)
        connection.reset();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (keep)
        m_idle.push_back(std::move(connection));
    else
        --m_open;
    m_returned.notify_one();
}

CPgTransaction::CPgTransaction(CPgConnection& connection) : m_connection(connection)
{
    m_connection.exec("BEGIN");
}

CPgTransaction::~CPgTransaction()
{
    if (m_done)
        return;
    try {
        m_connection.exec("ROLLBACK");
    } catch (...) {
        // A connection lost mid-transaction has rolled back by itself.
    }
}

void CPgTransaction::commit()
{
    m_connection.exec("COMMIT");
    m_done = true;
}

} // namespace BL::Server
