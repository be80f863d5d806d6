#include "server/sqlite_store.h"

#include "server/sqlite_schema.h"
#include "server/util.h"

#include <sqlite3.h>
#include <stdexcept>

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
    // True while a row is available; throws on errors other than constraint violations.
    bool step()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        m_lastError = rc;
        if ((rc & 0xff) == SQLITE_CONSTRAINT) {
            return false;
        }
        throw std::runtime_error(std::string("database error: ") + sqlite3_errstr(rc));
    }
    bool constraintFailed() const { return (m_lastError & 0xff) == SQLITE_CONSTRAINT; }
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

CSqliteStore::CSqliteStore(const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw std::runtime_error("cannot open database " + path + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    try {
        // Before anything writes to the file: a newer program's database is left as it is.
        checkSchemaKnown(m_db, path);
        execSql(m_db, "PRAGMA journal_mode=WAL");
        // WAL with NORMAL survives a killed process; picture files get their own fsync.
        execSql(m_db, "PRAGMA synchronous=NORMAL");
        execSql(m_db, "PRAGMA foreign_keys=ON");
        migrateSchema(m_db, path);
    } catch (...) {
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

CSqliteStore::~CSqliteStore()
{
    for (const auto& entry : m_statements) {
        sqlite3_finalize(entry.second);
    }
    sqlite3_close(m_db);
}

sqlite3_stmt* CSqliteStore::prepare(const char* sql)
{
    // Callers pass string literals, so the address identifies the statement.
    const auto found = m_statements.find(sql);
    if (found != m_statements.end()) {
        return found->second;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string("database error: ") + sqlite3_errmsg(m_db));
    }
    m_statements.emplace(sql, stmt);
    return stmt;
}

std::string CSqliteStore::reserveCode(std::int64_t nowMs, std::int64_t lifetimeMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (;;) {
        const std::string code = randomAlnum(10);
        CStatement insert(*this, "INSERT INTO codes (code, reserved_ms, expires_ms) VALUES (?1, ?2, ?3)");
        insert.bind(1, code).bind(2, nowMs).bind(3, nowMs + lifetimeMs);
        insert.step();
        if (!insert.constraintFailed()) {
            return code;
        }
    }
}

EClaim CSqliteStore::storeUpload(const std::string& code, std::int64_t nowMs, std::int64_t accountId,
                                 const std::vector<SPictureFile>& files, const std::string& sourceUrl,
                                 std::string* usedCode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto bindUpload = [&](CStatement& stmt) {
        stmt.bind(2, nowMs);
        if (accountId > 0) {
            stmt.bind(3, accountId);
        } else {
            stmt.bindNull(3);
        }
        for (int i = 0; i < 2; ++i) {
            if (static_cast<std::size_t>(i) < files.size()) {
                stmt.bind(4 + 2 * i, files[i].name).bind(5 + 2 * i, files[i].mime);
            } else {
                stmt.bindNull(4 + 2 * i).bindNull(5 + 2 * i);
            }
        }
        if (sourceUrl.empty()) {
            stmt.bindNull(8);
        } else {
            stmt.bind(8, sourceUrl);
        }
    };
    if (code.empty()) {
        for (;;) {
            const std::string fresh = randomAlnum(10);
            CStatement insert(*this,
                              "INSERT INTO codes (code, reserved_ms, expires_ms, uploaded_ms, account_id,"
                              " file1, mime1, file2, mime2, source_url)"
                              " VALUES (?1, ?2, ?2, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
            insert.bind(1, fresh);
            bindUpload(insert);
            insert.step();
            if (!insert.constraintFailed()) {
                *usedCode = fresh;
                return EClaim::Ok;
            }
        }
    }
    {
        // The guard in WHERE makes the claim atomic: of two uploads racing for one code, one wins.
        CStatement claim(*this, "UPDATE codes SET uploaded_ms = ?2, account_id = ?3, file1 = ?4, mime1 = ?5,"
                                " file2 = ?6, mime2 = ?7, source_url = ?8"
                                " WHERE code = ?1 AND uploaded_ms IS NULL AND expires_ms > ?2");
        claim.bind(1, code);
        bindUpload(claim);
        claim.step();
        if (sqlite3_changes(m_db) == 1) {
            *usedCode = code;
            return EClaim::Ok;
        }
    }
    CStatement probe(*this, "SELECT uploaded_ms FROM codes WHERE code = ?1");
    probe.bind(1, code);
    if (!probe.step()) {
        return EClaim::Unknown;
    }
    return probe.isNull(0) ? EClaim::Expired : EClaim::Used;
}

SCodeInfo CSqliteStore::lookup(const std::string& code, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(
        *this, "SELECT expires_ms, uploaded_ms, file1, mime1, file2, mime2 FROM codes WHERE code = ?1");
    select.bind(1, code);
    SCodeInfo info;
    if (!select.step()) {
        return info;
    }
    if (select.isNull(1)) {
        info.state = select.integer(0) > nowMs ? ECodeState::Pending : ECodeState::Expired;
        return info;
    }
    info.state = ECodeState::Uploaded;
    info.uploadedMs = select.integer(1);
    for (int column = 2; column <= 4; column += 2) {
        if (!select.isNull(column)) {
            info.files.push_back({select.text(column), select.text(column + 1)});
        }
    }
    return info;
}

std::int64_t CSqliteStore::accountForHash(const std::string& hash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT id FROM accounts WHERE hash = ?1");
    select.bind(1, hash);
    return select.step() ? select.integer(0) : 0;
}

std::int64_t CSqliteStore::accountFor(const std::string& email, const std::string& hash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT id FROM accounts WHERE email = ?1 AND hash = ?2");
    select.bind(1, email).bind(2, hash);
    return select.step() ? select.integer(0) : 0;
}

std::string CSqliteStore::accountEmail(std::int64_t accountId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT email FROM accounts WHERE id = ?1");
    select.bind(1, accountId);
    return select.step() ? select.text(0) : std::string();
}

ESignup CSqliteStore::createAccount(const std::string& email, const std::string& hash, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    {
        CStatement taken(*this, "SELECT 1 FROM accounts WHERE email = ?1");
        taken.bind(1, email);
        if (taken.step()) {
            return ESignup::EmailTaken;
        }
    }
    CStatement insert(*this, "INSERT INTO accounts (email, hash, created_ms) VALUES (?1, ?2, ?3)");
    insert.bind(1, email).bind(2, hash).bind(3, nowMs);
    insert.step();
    // Only the hash can still clash: another address and password that concatenate the same.
    return insert.constraintFailed() ? ESignup::CredentialTaken : ESignup::Ok;
}

void CSqliteStore::createSession(const std::string& token, std::int64_t accountId, std::int64_t expiresMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement insert(*this, "INSERT INTO sessions (token, account_id, expires_ms) VALUES (?1, ?2, ?3)");
    insert.bind(1, token).bind(2, accountId).bind(3, expiresMs);
    insert.step();
}

std::int64_t CSqliteStore::sessionAccount(const std::string& token, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT account_id FROM sessions WHERE token = ?1 AND expires_ms > ?2");
    select.bind(1, token).bind(2, nowMs);
    return select.step() ? select.integer(0) : 0;
}

void CSqliteStore::deleteSession(const std::string& token)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement remove(*this, "DELETE FROM sessions WHERE token = ?1");
    remove.bind(1, token);
    remove.step();
}

std::vector<SHistoryItem> CSqliteStore::history(std::int64_t accountId, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT code, uploaded_ms, file2 IS NOT NULL, source_url FROM codes"
                             " WHERE account_id = ?1 AND uploaded_ms IS NOT NULL"
                             " ORDER BY uploaded_ms DESC, rowid DESC LIMIT ?2");
    select.bind(1, accountId).bind(2, static_cast<std::int64_t>(limit));
    std::vector<SHistoryItem> items;
    while (select.step()) {
        items.push_back({select.text(0), select.integer(1), select.integer(2) ? 2 : 1, select.text(3)});
    }
    return items;
}

void CSqliteStore::addReport(const SReport& report, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement insert(*this,
                      "INSERT INTO reports (id, received_ms, os_type, build_host_user, ver, email, file)"
                      " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    insert.bind(1, report.id).bind(2, nowMs).bind(3, report.osType).bind(4, report.buildHostUser);
    insert.bind(5, report.version).bind(6, report.email).bind(7, report.fileName);
    insert.step();
}

std::vector<std::string> CSqliteStore::referencedFiles()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT file1 FROM codes WHERE file1 IS NOT NULL"
                             " UNION ALL SELECT file2 FROM codes WHERE file2 IS NOT NULL");
    std::vector<std::string> names;
    while (select.step()) {
        names.push_back(select.text(0));
    }
    return names;
}

} // namespace BL::Server
