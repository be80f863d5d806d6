#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
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
    CPgResult& operator=(CPgResult&&) = delete;

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

// One connection to the database. Statements that fail throw std::runtime_error; a connection
// the server dropped is opened again before the next statement.
class CPgConnection
{
public:
    explicit CPgConnection(const std::string& conninfo);
    ~CPgConnection();
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    CPgResult exec(const char* sql, const std::vector<SPgParam>& params = {});
    // Several statements without parameters, in one go.
    void execScript(const char* sql);

private:
    pg_conn* m_conn = nullptr;
};

// A fixed set of connections shared by the request threads: a thread takes one for the length
// of a statement or transaction and waits when all are taken.
class CPgPool
{
public:
    // Opens the first connection at once, so that a wrong address or password shows at start;
    // throws std::runtime_error.
    CPgPool(std::string conninfo, int size);
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

    CLease acquire();

private:
    void giveBack(std::unique_ptr<CPgConnection> connection);

    const std::string m_conninfo;
    const int m_size;
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
