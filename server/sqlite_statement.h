#pragma once

// The statement and transaction helpers of the SQLite store, for its own source files.

#include "server/sqlite_store.h"

#include <sqlite3.h>
#include <stdexcept>
#include <string>

namespace BL::Server {

// A cached prepared statement, bound for one use and reset when the use ends.
class CSqliteStore::CStatement
{
public:
    CStatement(CSqliteStore& store, const char* sql) : m_stmt(store.prepare(sql)) {}
    ~CStatement()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    CStatement& bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    CStatement& bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    CStatement& bindNull(int index)
    {
        sqlite3_bind_null(m_stmt, index);
        return *this;
    }
    // NULL for 0 and below: an optional time or duration.
    CStatement& bindOptional(int index, std::int64_t value)
    {
        return value > 0 ? bind(index, value) : bindNull(index);
    }
    // True while a row is available; throws on errors other than constraint violations.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        m_lastError = rc;
        if ((rc & 0xff) == SQLITE_CONSTRAINT)
            return false;
        throw std::runtime_error(std::string("database error: ") + sqlite3_errstr(rc));
    }
    bool constraintFailed() const { return (m_lastError & 0xff) == SQLITE_CONSTRAINT; }
    // Ready to run again with new bindings.
    void reset()
    {
        sqlite3_reset(m_stmt);
        m_lastError = SQLITE_OK;
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(m_stmt, column); }
    bool isNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string text(int column)
    {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)))
                    : std::string();
    }

private:
    sqlite3_stmt* m_stmt;
    int m_lastError = SQLITE_OK;
};

// BEGIN IMMEDIATE until commit(); rolled back when left otherwise, by a return or an exception.
class CSqliteStore::CTransaction
{
public:
    explicit CTransaction(CSqliteStore& store) : m_store(store)
    {
        // Immediate: the write lock is taken now, not half-way through by an upgrade that can fail.
        CStatement(store, "BEGIN IMMEDIATE").step();
    }
    ~CTransaction()
    {
        if (!m_committed)
            sqlite3_exec(m_store.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    void commit()
    {
        CStatement(m_store, "COMMIT").step();
        m_committed = true;
    }

private:
    CSqliteStore& m_store;
    bool m_committed = false;
};

// The SELECT of probeRow() by a code's secret, shared so that it is prepared once.
extern const char probeBySecret[];

} // namespace BL::Server
