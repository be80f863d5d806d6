#include "server/sqlite_schema.h"

#include <set>
#include <sqlite3.h>
#include <stdexcept>

namespace BL::Server {

namespace {

// Oldest first, numbered 1, 2, ... without gaps. Never edit one that has shipped: add another.
constexpr SMigration migrations[] = {
    // The tables as the service first wrote them, without a version. IF NOT EXISTS lets an
    // unversioned file that has them (all, or some when a crash cut the first start short) be
    // adopted as it is.
    {1, "CREATE TABLE IF NOT EXISTS accounts ("
        " id INTEGER PRIMARY KEY,"
        " email TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " hash TEXT NOT NULL UNIQUE,"
        " created_ms INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS codes ("
        " code TEXT PRIMARY KEY,"
        " reserved_ms INTEGER NOT NULL,"
        " expires_ms INTEGER NOT NULL,"
        " uploaded_ms INTEGER,"
        " account_id INTEGER REFERENCES accounts(id),"
        " file1 TEXT, mime1 TEXT, file2 TEXT, mime2 TEXT,"
        " source_url TEXT);"
        "CREATE INDEX IF NOT EXISTS codes_by_account ON codes(account_id, uploaded_ms);"
        "CREATE TABLE IF NOT EXISTS sessions ("
        " token TEXT PRIMARY KEY,"
        " account_id INTEGER NOT NULL REFERENCES accounts(id),"
        " expires_ms INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS reports ("
        " id TEXT PRIMARY KEY,"
        " received_ms INTEGER NOT NULL,"
        " os_type TEXT, build_host_user TEXT, ver TEXT, email TEXT,"
        " file TEXT NOT NULL)"},
    // The pictures of a code in a table of their own instead of numbered columns. Every upload
    // wrote a type with its file; should one lack it, it stays served with the empty type it had.
    {2, "CREATE TABLE pictures ("
        " code TEXT NOT NULL REFERENCES codes(code),"
        " position INTEGER NOT NULL CHECK (position IN (1, 2)),"
        " file TEXT NOT NULL,"
        " mime TEXT NOT NULL,"
        " PRIMARY KEY (code, position));"
        "INSERT INTO pictures (code, position, file, mime)"
        " SELECT code, 1, file1, COALESCE(mime1, '') FROM codes WHERE file1 IS NOT NULL;"
        "INSERT INTO pictures (code, position, file, mime)"
        " SELECT code, 2, file2, COALESCE(mime2, '') FROM codes WHERE file2 IS NOT NULL;"
        "ALTER TABLE codes DROP COLUMN file1;"
        "ALTER TABLE codes DROP COLUMN mime1;"
        "ALTER TABLE codes DROP COLUMN file2;"
        "ALTER TABLE codes DROP COLUMN mime2"},
    // Credential hashes are password equivalents: only their keyed hash stays in the file. The
    // check row lets a later start tell that it holds the key the rows were keyed with.
    {3, "CREATE TABLE service_keys ("
        " name TEXT PRIMARY KEY,"
        " value TEXT NOT NULL);"
        "UPDATE accounts SET hash = bl_keyed_hash(hash);"
        "INSERT INTO service_keys (name, value)"
        " VALUES ('hash_key_check', bl_keyed_hash('brightloom hash key check'))"},
    // The code in a link is public; uploads name their code by a secret of its own, so that a
    // pasted link cannot be uploaded under. Links handed out before keep working as secrets.
    // A refused upload ends its code (failed_ms).
    {4, "ALTER TABLE codes ADD COLUMN secret TEXT;"
        "UPDATE codes SET secret = code;"
        "CREATE UNIQUE INDEX codes_by_secret ON codes(secret);"
        "ALTER TABLE codes ADD COLUMN failed_ms INTEGER"},
    // Uploads can be taken back: the pictures' rows go, and the code's row stays, deleted_ms set,
    // so that its public code is never handed out again.
    {5, "ALTER TABLE codes ADD COLUMN deleted_ms INTEGER"},
    // Pictures may be kept for a while only: a reservation says for how long (keep_ms), the upload
    // sets when they go (ends_ms). The pictures' rows carry ends_ms too, so that the purge finds
    // the live pictures whose time ran out by an index, not among every tombstone.
    {6, "ALTER TABLE codes ADD COLUMN keep_ms INTEGER;"
        "ALTER TABLE codes ADD COLUMN ends_ms INTEGER;"
        "ALTER TABLE pictures ADD COLUMN ends_ms INTEGER;"
        "CREATE INDEX pictures_by_end ON pictures(ends_ms) WHERE ends_ms IS NOT NULL"},
    // The size of each picture, for the pages and previews, and the previews made at upload: a
    // thumbnail, and for a comparison the side by side a chat shows. Pictures stored before have
    // neither; the previews are PNG files beside the pictures.
    {7, "ALTER TABLE pictures ADD COLUMN width INTEGER;"
        "ALTER TABLE pictures ADD COLUMN height INTEGER;"
        "ALTER TABLE codes ADD COLUMN thumb_file TEXT;"
        "ALTER TABLE codes ADD COLUMN thumb_width INTEGER;"
        "ALTER TABLE codes ADD COLUMN thumb_height INTEGER;"
        "ALTER TABLE codes ADD COLUMN pair_file TEXT;"
        "ALTER TABLE codes ADD COLUMN pair_width INTEGER;"
        "ALTER TABLE codes ADD COLUMN pair_height INTEGER"},
    // The device pixel ratio of the screen a picture was taken on, in percent, so that its page
    // shows one picture pixel per device pixel; NULL: one per CSS pixel.
    {8, "ALTER TABLE codes ADD COLUMN scale_percent INTEGER"},
    // Tokens other programs upload with on an account's behalf, by their keyed hash.
    {9,
     "CREATE TABLE api_tokens (id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES accounts(id),"
     " hash TEXT NOT NULL UNIQUE, name TEXT NOT NULL, created_ms INTEGER NOT NULL, used_ms INTEGER);"
     "CREATE INDEX api_tokens_by_account ON api_tokens(account_id)"},
};

static_assert(numberedInOrder(migrations), "one migration per version, up to latestSchemaVersion");

std::set<std::string> namesOf(sqlite3* db, const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errmsg(db));
    std::set<std::string> names;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        names.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errstr(rc));
    return names;
}

// Whether an unversioned file holds nothing but (some of) version 1's tables, as they were.
bool isUnversionedServiceDatabase(sqlite3* db)
{
    const std::set<std::string> known = {"accounts", "codes", "sessions", "reports"};
    for (const std::string& table :
         namesOf(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'"))
        if (!known.count(table))
            return false;
    const std::set<std::string> codeColumns = namesOf(db, "SELECT name FROM pragma_table_info('codes')");
    return codeColumns.empty() ||
           codeColumns == std::set<std::string>{"code",       "reserved_ms", "expires_ms", "uploaded_ms",
                                                "account_id", "file1",       "mime1",      "file2",
                                                "mime2",      "source_url"};
}

} // namespace

void execSql(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw std::runtime_error("database error: " + message);
    }
}

int schemaVersion(sqlite3* db)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errmsg(db));
    const int rc = sqlite3_step(stmt);
    const int version = rc == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : 0;
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errstr(rc));
    return version;
}

void checkSchemaKnown(sqlite3* db, const std::string& path)
{
    const int version = schemaVersion(db);
    refuseUnknownVersion(version, "database " + path);
    if (version == 0 && !isUnversionedServiceDatabase(db)) {
        throw std::runtime_error("database " + path +
                                 " has no schema version and tables that are not the service's");
    }
}

namespace {

class CSqliteSchemaSteps : public CAbstractSchemaSteps
{
public:
    CSqliteSchemaSteps(sqlite3* db, const std::string& path) : m_db(db), m_path(path) {}

    void inTransaction(const std::function<void()>& work) override
    {
        // Immediate: another process starting on the same file waits here, then finds the work done.
        execSql(m_db, "BEGIN IMMEDIATE");
        try {
            work();
            execSql(m_db, "COMMIT");
        } catch (...) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    int readVersion() override
    {
        checkSchemaKnown(m_db, m_path);
        return schemaVersion(m_db);
    }
    void runStep(const SMigration& migration) override { execSql(m_db, migration.sql); }
    void writeVersion(int, int to) override
    {
        execSql(m_db, ("PRAGMA user_version = " + std::to_string(to)).c_str());
    }

private:
    sqlite3* m_db;
    const std::string& m_path;
};

} // namespace

void migrateSchema(sqlite3* db, const std::string& path)
{
    CSqliteSchemaSteps steps(db, path);
    runMigrations(steps, migrations, "database " + path);
}

} // namespace BL::Server
