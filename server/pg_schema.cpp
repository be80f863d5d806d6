#include "server/pg_schema.h"

#include "server/hash_key.h"
#include "server/pg_connection.h"
#include "server/pg_counters.h"
#include "server/store_rules.h"

#include <string>

namespace BL::Server {

namespace {

// The SQLite store's migrations in PostgreSQL's words, version for version. Times are
// milliseconds since the epoch as there; bl_now_ms() is the database's clock, which every node
// shares. seq keeps the order rows came in, which SQLite's rowid gave.
constexpr SMigration migrations[] = {
    {1, "CREATE FUNCTION bl_now_ms() RETURNS BIGINT LANGUAGE sql VOLATILE AS"
        " $$SELECT (extract(epoch FROM clock_timestamp()) * 1000)::BIGINT$$;"
        "CREATE TABLE accounts ("
        " id BIGSERIAL PRIMARY KEY,"
        " email TEXT NOT NULL,"
        " hash TEXT NOT NULL UNIQUE,"
        " created_ms BIGINT NOT NULL);"
        "CREATE UNIQUE INDEX accounts_by_email ON accounts (lower(email));"
        "CREATE TABLE codes ("
        " code TEXT PRIMARY KEY,"
        " seq BIGSERIAL,"
        " reserved_ms BIGINT NOT NULL,"
        " expires_ms BIGINT NOT NULL,"
        " uploaded_ms BIGINT,"
        " account_id BIGINT REFERENCES accounts(id),"
        " file1 TEXT, mime1 TEXT, file2 TEXT, mime2 TEXT,"
        " source_url TEXT);"
        "CREATE INDEX codes_by_account ON codes (account_id, uploaded_ms);"
        "CREATE TABLE sessions ("
        " token TEXT PRIMARY KEY,"
        " account_id BIGINT NOT NULL REFERENCES accounts(id),"
        " expires_ms BIGINT NOT NULL);"
        "CREATE TABLE reports ("
        " id TEXT PRIMARY KEY,"
        " seq BIGSERIAL,"
        " received_ms BIGINT NOT NULL,"
        " os_type TEXT, build_host_user TEXT, ver TEXT, email TEXT,"
        " file TEXT NOT NULL)"},
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
        "ALTER TABLE codes DROP COLUMN file1, DROP COLUMN mime1, DROP COLUMN file2, DROP COLUMN mime2"},
    // The hashes are keyed row by row below: the key is not the database's to know.
    {3, "CREATE TABLE service_keys ("
        " name TEXT PRIMARY KEY,"
        " value TEXT NOT NULL)"},
    {4, "ALTER TABLE codes ADD COLUMN secret TEXT;"
        "UPDATE codes SET secret = code;"
        "CREATE UNIQUE INDEX codes_by_secret ON codes (secret);"
        "ALTER TABLE codes ADD COLUMN failed_ms BIGINT"},
    {5, "ALTER TABLE codes ADD COLUMN deleted_ms BIGINT"},
    {6, "ALTER TABLE codes ADD COLUMN keep_ms BIGINT, ADD COLUMN ends_ms BIGINT;"
        "ALTER TABLE pictures ADD COLUMN ends_ms BIGINT;"
        "CREATE INDEX pictures_by_end ON pictures (ends_ms) WHERE ends_ms IS NOT NULL"},
    {7, "ALTER TABLE pictures ADD COLUMN width INTEGER, ADD COLUMN height INTEGER;"
        "ALTER TABLE codes ADD COLUMN thumb_file TEXT, ADD COLUMN thumb_width INTEGER,"
        " ADD COLUMN thumb_height INTEGER, ADD COLUMN pair_file TEXT, ADD COLUMN pair_width INTEGER,"
        " ADD COLUMN pair_height INTEGER"},
    {8, "ALTER TABLE codes ADD COLUMN scale_percent INTEGER"},
    {9,
     "CREATE TABLE api_tokens (id BIGSERIAL PRIMARY KEY, account_id BIGINT NOT NULL REFERENCES accounts (id),"
     " hash TEXT NOT NULL UNIQUE, name TEXT NOT NULL, created_ms BIGINT NOT NULL, used_ms BIGINT);"
     "CREATE INDEX api_tokens_by_account ON api_tokens (account_id)"},
};
static_assert(numberedInOrder(migrations), "one migration per version, as many as the SQLite store has");

// Any constant will do, as long as every node takes the same.
constexpr const char* migrationLock = "SELECT pg_advisory_xact_lock(7274196)";
// A migration of a large database, or the wait for another node's, may take far longer than a
// request's statement.
constexpr int migrationMs = 30 * 60 * 1000;

constexpr char theDatabase[] = "the database";

class CPgSchemaSteps : public CAbstractSchemaSteps
{
public:
    CPgSchemaSteps(CPgConnection& connection, const CHashKey& key) : m_connection(connection), m_key(key) {}

    void inTransaction(const std::function<void()>& work) override
    {
        CPgTransaction transaction(m_connection);
        // Nodes starting together take turns here; the later ones find the work done.
        m_connection.execScript(migrationLock, migrationMs);
        m_connection.execScript("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        work();
        transaction.commit();
    }
    int readVersion() override
    {
        const CPgResult found = m_connection.exec("SELECT version FROM schema_version");
        return found.rows() == 0 ? 0 : static_cast<int>(found.integer(0, 0));
    }
    void runStep(const SMigration& migration) override
    {
        m_connection.execScript(migration.sql, migrationMs);
        if (migration.version == 3) {
            const CPgResult accounts = m_connection.exec("SELECT id, hash FROM accounts");
            for (int row = 0; row < accounts.rows(); ++row) {
                m_connection.exec("UPDATE accounts SET hash = $2 WHERE id = $1",
                                  {accounts.integer(row, 0), m_key.keyed(accounts.text(row, 1))});
            }
            m_connection.exec("INSERT INTO service_keys (name, value) VALUES ('hash_key_check', $1)",
                              {m_key.keyed(keyCheckText)});
        }
    }
    void writeVersion(int from, int to) override
    {
        if (from == 0)
            m_connection.exec("INSERT INTO schema_version (version) VALUES ($1)", {to});
        else
            m_connection.exec("UPDATE schema_version SET version = $1", {to});
    }
    void atLatest() override
    {
        const CPgResult check =
            m_connection.exec("SELECT value FROM service_keys WHERE name = 'hash_key_check'");
        checkHashKey(check.rows() == 1 ? std::optional<std::string>(check.text(0, 0)) : std::nullopt, m_key,
                     theDatabase);
        m_connection.execScript(pgCounterTables);
    }

private:
    CPgConnection& m_connection;
    const CHashKey& m_key;
};

} // namespace

void migratePgSchema(CPgConnection& connection, const CHashKey& key)
{
    CPgSchemaSteps steps(connection, key);
    runMigrations(steps, migrations, theDatabase);
}

} // namespace BL::Server
