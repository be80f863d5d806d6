#include "server/pg_connection.h"

#include <cstdlib>
#include <libpq-fe.h>
#include <stdexcept>

namespace BL::Server {

CPgResult::~CPgResult()
{
    PQclear(m_result);
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

CPgConnection::CPgConnection(const std::string& conninfo) : m_conn(PQconnectdb(conninfo.c_str()))
{
    if (PQstatus(m_conn) != CONNECTION_OK) {
        const std::string message = m_conn ? PQerrorMessage(m_conn) : "out of memory";
        PQfinish(m_conn);
        throw std::runtime_error("cannot connect to the database: " + message);
    }
    // Notices (such as "relation already exists, skipping") are not for the service's log.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
}

CPgConnection::~CPgConnection()
{
    PQfinish(m_conn);
}

CPgResult CPgConnection::exec(const char* sql, const std::vector<SPgParam>& params)
{
    if (PQstatus(m_conn) != CONNECTION_OK)
        PQreset(m_conn);
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const SPgParam& param : params)
        values.push_back(param.null ? nullptr : param.text.c_str());
    CPgResult result(PQexecParams(m_conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                                  nullptr, nullptr, 0));
    if (!result.ok()) {
        std::string message = PQerrorMessage(m_conn);
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        throw std::runtime_error("database error: " + message);
    }
    return result;
}

void CPgConnection::execScript(const char* sql)
{
    if (PQstatus(m_conn) != CONNECTION_OK)
        PQreset(m_conn);
    const CPgResult result(PQexec(m_conn, sql));
    if (!result.ok()) {
        std::string message = PQerrorMessage(m_conn);
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        throw std::runtime_error("database error: " + message);
    }
}

CPgPool::CPgPool(std::string conninfo, int size)
    : m_conninfo(std::move(conninfo)), m_size(size < 1 ? 1 : size)
{
    m_idle.push_back(std::make_unique<CPgConnection>(m_conninfo));
    m_open = 1;
}

CPgPool::~CPgPool() = default;

CPgPool::CLease CPgPool::acquire()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_returned.wait(lock, [this] { return !m_idle.empty() || m_open < m_size; });
    if (!m_idle.empty()) {
        std::unique_ptr<CPgConnection> connection = std::move(m_idle.back());
        m_idle.pop_back();
        return CLease(*this, std::move(connection));
    }
    ++m_open;
    lock.unlock();
    try {
        return CLease(*this, std::make_unique<CPgConnection>(m_conninfo));
    } catch (...) {
        lock.lock();
        --m_open;
        m_returned.notify_one();
        throw;
    }
}

void CPgPool::giveBack(std::unique_ptr<CPgConnection> connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(std::move(connection));
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
