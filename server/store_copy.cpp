#include "server/store_copy.h"

#include "server/object_store.h"
#include "server/pg_connection.h"
#include "server/pg_store.h"
#include "server/sqlite_store.h"

#include <memory>
#include <sqlite3.h>
#include <stdexcept>
#include <vector>

namespace BL::Server {

namespace {

// The rows of one SQLite query, every column as text or NULL.
std::vector<std::vector<SPgParam>> readRows(sqlite3* db, const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errmsg(db));
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, sqlite3_finalize);
    std::vector<std::vector<SPgParam>> rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        std::vector<SPgParam> row;
        for (int column = 0; column < sqlite3_column_count(stmt); ++column) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
            if (text)
                row.emplace_back(
                    std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column))));
            else
                row.emplace_back(nullptr);
        }
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errstr(rc));
    return rows;
}

int copyObjects(CObjectStore* from, CObjectStore* to)
{
    if (!from || !to)
        return 0;
    int copied = 0;
    for (const SObjectEntry& entry : from->list()) {
        std::string data;
        std::string error;
        if (!from->get(entry.name, &data))
            throw std::runtime_error("cannot read " + entry.name);
        if (!to->put(entry.name, data, &error))
            throw std::runtime_error(error);
        ++copied;
    }
    return copied;
}

} // namespace

std::string copySqliteToPg(const std::string& sqlitePath, const std::string& conninfo, const CHashKey& key,
                           CObjectStore* fromPictures, CObjectStore* toPictures, CObjectStore* fromReports,
                           CObjectStore* toReports)
{
    // Opening both stores brings both schemas to the newest version and checks the key.
    {
        CSqliteStore source(sqlitePath, key);
    }
    {
        CPgStore target(conninfo, key, 1);
    }

    sqlite3* db = nullptr;
    if (sqlite3_open_v2(sqlitePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + sqlitePath);
    }
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> guard(db, sqlite3_close);
    // Oldest first, so the order the pages list them in stays the same.
    const auto accounts = readRows(db, "SELECT id, email, hash, created_ms FROM accounts ORDER BY id");
    const auto codes = readRows(
        db, "SELECT code, secret, reserved_ms, expires_ms, uploaded_ms, account_id,"
            " source_url, failed_ms, deleted_ms, keep_ms, ends_ms, thumb_file, thumb_width,"
            " thumb_height, pair_file, pair_width, pair_height, scale_percent FROM codes ORDER BY rowid");
    const auto pictures =
        readRows(db, "SELECT code, position, file, mime, ends_ms, width, height FROM pictures");
    const auto sessions = readRows(db, "SELECT token, account_id, expires_ms FROM sessions");
    const auto tokens =
        readRows(db, "SELECT id, account_id, hash, name, created_ms, used_ms FROM api_tokens ORDER BY id");
    const auto reports = readRows(db, "SELECT id, received_ms, os_type, build_host_user, ver, email, file"
                                      " FROM reports ORDER BY rowid");

    // Files first, then the rows that name them.
    const int pictureFiles = copyObjects(fromPictures, toPictures);
    const int reportFiles = copyObjects(fromReports, toReports);

    CPgConnection connection(conninfo);
    CPgTransaction transaction(connection);
    const CPgResult held =
        connection.exec("SELECT (SELECT count(*) FROM accounts) + (SELECT count(*) FROM codes)"
                        " + (SELECT count(*) FROM reports)");
    if (held.integer(0, 0) != 0)
        throw std::runtime_error(
            "the database already holds accounts, codes or reports; copy into an empty one");
    for (const auto& row : accounts)
        connection.exec("INSERT INTO accounts (id, email, hash, created_ms) VALUES ($1, $2, $3, $4)", row);
    connection.exec("SELECT setval('accounts_id_seq', GREATEST((SELECT max(id) FROM accounts), 1))");
    for (const auto& row : codes) {
        connection.exec(
            "INSERT INTO codes (code, secret, reserved_ms, expires_ms, uploaded_ms, account_id,"
            " source_url, failed_ms, deleted_ms, keep_ms, ends_ms, thumb_file, thumb_width, thumb_height,"
            " pair_file, pair_width, pair_height, scale_percent) VALUES ($1, $2, $3, $4, $5, $6, $7, $8,"
            " $9, $10, $11, $12, $13, $14, $15, $16, $17, $18)",
            row);
    }
    for (const auto& row : pictures)
        connection.exec("INSERT INTO pictures (code, position, file, mime, ends_ms, width, height)"
                        " VALUES ($1, $2, $3, $4, $5, $6, $7)",
                        row);
    for (const auto& row : sessions)
        connection.exec("INSERT INTO sessions (token, account_id, expires_ms) VALUES ($1, $2, $3)", row);
    for (const auto& row : tokens)
        connection.exec("INSERT INTO api_tokens (id, account_id, hash, name, created_ms, used_ms)"
                        " VALUES ($1, $2, $3, $4, $5, $6)",
                        row);
    connection.exec("SELECT setval('api_tokens_id_seq', GREATEST((SELECT max(id) FROM api_tokens), 1))");
    for (const auto& row : reports) {
        connection.exec("INSERT INTO reports (id, received_ms, os_type, build_host_user, ver, email, file)"
                        " VALUES ($1, $2, $3, $4, $5, $6, $7)",
                        row);
    }
    transaction.commit();
    return std::to_string(accounts.size()) + " accounts, " + std::to_string(codes.size()) + " codes, " +
           std::to_string(pictures.size()) + " pictures, " + std::to_string(sessions.size()) + " sessions, " +
           std::to_string(reports.size()) + " reports, " + std::to_string(tokens.size()) +
           " upload tokens copied; " + std::to_string(pictureFiles) + " picture and " +
           std::to_string(reportFiles) + " report files copied";
}

} // namespace BL::Server
