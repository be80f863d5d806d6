#include "server/sqlite_store.h"

#include "server/attempt_limiter.h"
#include "server/disk_quota.h"
#include "server/sqlite_schema.h"
#include "server/sqlite_statement.h"
#include "server/store_rules.h"

#include <sqlite3.h>
#include <stdexcept>

namespace BL::Server {

const char probeBySecret[] = "SELECT uploaded_ms, failed_ms, deleted_ms FROM codes WHERE secret = ?1";

namespace {

// bl_keyed_hash(text): the migrations key the stored hashes with it.
void keyedHashSql(sqlite3_context* context, int, sqlite3_value** arguments)
{
    const auto* key = static_cast<const CHashKey*>(sqlite3_user_data(context));
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    if (!text) {
        sqlite3_result_null(context);
        return;
    }
    try {
        const std::string keyed =
            key->keyed(std::string(text, static_cast<std::size_t>(sqlite3_value_bytes(arguments[0]))));
        sqlite3_result_text(context, keyed.data(), static_cast<int>(keyed.size()), SQLITE_TRANSIENT);
    } catch (const std::exception& e) {
        sqlite3_result_error(context, e.what(), -1);
    }
}

} // namespace

CSqliteStore::CSqliteStore(const std::string& path, CHashKey key) : m_key(std::move(key))
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
        // The indexes of codes and secrets take random keys: their pages are kept at hand rather
        // than read back from the file for every batch of reservations.
        execSql(m_db, "PRAGMA cache_size=-65536");
        if (sqlite3_create_function_v2(m_db, keyedHashFunction, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, &m_key,
                                       keyedHashSql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("database error: ") + sqlite3_errmsg(m_db));
        migrateSchema(m_db, path);
        {
            CStatement select(*this, "SELECT value FROM service_keys WHERE name = 'hash_key_check'");
            checkHashKey(select.step() ? std::optional<std::string>(select.text(0)) : std::nullopt, m_key,
                         "database " + path);
        }
        // Pages a migration rewrote reach the main file now, and the log holding them is emptied.
        execSql(m_db, "PRAGMA wal_checkpoint(TRUNCATE)");
        m_checkpointer = std::make_unique<CSqliteCheckpointer>(m_db, path);
    } catch (...) {
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

CSqliteStore::~CSqliteStore()
{
    m_checkpointer.reset();
    for (const auto& entry : m_statements)
        sqlite3_finalize(entry.second);
    sqlite3_close(m_db);
}

sqlite3_stmt* CSqliteStore::prepare(const char* sql)
{
    // Callers pass string literals, so the address identifies the statement.
    const auto found = m_statements.find(sql);
    if (found != m_statements.end())
        return found->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("database error: ") + sqlite3_errmsg(m_db));
    m_statements.emplace(sql, stmt);
    return stmt;
}

std::vector<SReservation> CSqliteStore::reserveCodes(const std::vector<std::int64_t>& keepForMs,
                                                     std::int64_t nowMs, std::int64_t lifetimeMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // One commit for all of them: a burst of clients pays for one write of the log, not one each.
    CTransaction transaction(*this);
    CStatement insert(*this, "INSERT INTO codes (code, secret, reserved_ms, expires_ms, keep_ms)"
                             " VALUES (?1, ?2, ?3, ?4, ?5)");
    std::vector<SReservation> reservations = reserveDrawn(keepForMs.size(), [&](std::vector<SDrawn> drawn) {
        std::vector<SDrawn> taken;
        for (SDrawn& reservation : drawn) {
            insert.bind(1, reservation.reservation.code)
                .bind(2, reservation.reservation.secret)
                .bind(3, nowMs)
                .bind(4, nowMs + lifetimeMs);
            insert.bindOptional(5, keepForMs[reservation.slot]);
            insert.step();
            if (!insert.constraintFailed())
                taken.push_back(std::move(reservation));
            insert.reset();
        }
        return taken;
    });
    transaction.commit();
    return reservations;
}

EClaim CSqliteStore::storeUpload(const SUpload& upload, std::int64_t nowMs, std::string* usedCode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto bindUpload = [&](CStatement& stmt) {
        stmt.bind(2, nowMs);
        if (upload.accountId > 0)
            stmt.bind(3, upload.accountId);
        else
            stmt.bindNull(3);
        if (upload.sourceUrl.empty())
            stmt.bindNull(4);
        else
            stmt.bind(4, upload.sourceUrl);
    };
    // The claim and its pictures commit together: a failure in between leaves the code unclaimed.
    CTransaction transaction(*this);
    SUploadStatements statements;
    statements.insertUploaded = [&](const SReservation& fresh) {
        CStatement insert(*this,
                          "INSERT INTO codes (code, secret, reserved_ms, expires_ms, uploaded_ms, account_id,"
                          " source_url, keep_ms, ends_ms) VALUES (?1, ?5, ?2, ?2, ?2, ?3, ?4, ?6, ?2 + ?6)");
        insert.bind(1, fresh.code).bind(5, fresh.secret);
        bindUpload(insert);
        insert.bindOptional(6, upload.freshKeepForMs);
        insert.step();
        return !insert.constraintFailed();
    };
    statements.claim = [&](const std::string& reserved) -> std::optional<std::string> {
        // The guard in WHERE makes the claim atomic: of two uploads racing for one code, one wins.
        CStatement claim(
            *this, "UPDATE codes SET uploaded_ms = ?2, account_id = ?3, source_url = ?4,"
                   " ends_ms = ?2 + keep_ms WHERE secret = ?1 AND uploaded_ms IS NULL AND failed_ms IS NULL"
                   " AND deleted_ms IS NULL AND expires_ms > ?2 RETURNING code");
        claim.bind(1, reserved);
        bindUpload(claim);
        if (!claim.step())
            return std::nullopt;
        std::string code = claim.text(0);
        claim.step();
        return code;
    };
    statements.probe = [&](const std::string& reserved) -> std::optional<SCodeRow> {
        CStatement probe(*this, probeBySecret);
        probe.bind(1, reserved);
        return probeRow(probe);
    };
    statements.insertPicture = [&](const std::string& code, int position, const SPictureFile& file) {
        // With the code's end, for the purge's index.
        CStatement insert(*this, "INSERT INTO pictures (code, position, file, mime, ends_ms, width, height)"
                                 " SELECT ?1, ?2, ?3, ?4, ends_ms, ?5, ?6 FROM codes WHERE code = ?1");
        insert.bind(1, code)
            .bind(2, static_cast<std::int64_t>(position))
            .bind(3, file.name)
            .bind(4, file.mime)
            .bindOptional(5, file.width)
            .bindOptional(6, file.height);
        insert.step();
        if (insert.constraintFailed())
            throw std::runtime_error("database error: picture " + std::to_string(position) + " of " + code +
                                     " refused");
    };
    std::string claimed;
    const EClaim claim = storeClaimed(upload.secret, upload.files, statements, &claimed);
    if (claim != EClaim::Ok)
        return claim;
    if (!upload.thumbnail.name.empty() || !upload.pairPreview.name.empty() || upload.scalePercent != 100) {
        CStatement previews(*this, "UPDATE codes SET thumb_file = ?2, thumb_width = ?3, thumb_height = ?4,"
                                   " pair_file = ?5, pair_width = ?6, pair_height = ?7, scale_percent = ?8"
                                   " WHERE code = ?1");
        previews.bind(1, claimed);
        bindPreview(previews, 2, upload.thumbnail);
        bindPreview(previews, 5, upload.pairPreview);
        previews.bindOptional(8, upload.scalePercent == 100 ? 0 : upload.scalePercent);
        previews.step();
    }
    transaction.commit();
    *usedCode = claimed;
    return EClaim::Ok;
}

namespace {

// One statement each: prepared statements are cached by the address of their text.
const char lookupByCode[] =
    "SELECT c.expires_ms, c.uploaded_ms, p.file, p.mime, c.failed_ms, c.deleted_ms, c.ends_ms,"
    " p.width, p.height, c.thumb_file, c.thumb_width, c.thumb_height, c.pair_file, c.pair_width,"
    " c.pair_height, c.scale_percent, c.code"
    " FROM codes c LEFT JOIN pictures p ON p.code = c.code WHERE c.code = ?1 ORDER BY p.position";
const char lookupBySecret[] =
    "SELECT c.expires_ms, c.uploaded_ms, p.file, p.mime, c.failed_ms, c.deleted_ms, c.ends_ms,"
    " p.width, p.height, c.thumb_file, c.thumb_width, c.thumb_height, c.pair_file, c.pair_width,"
    " c.pair_height, c.scale_percent, c.code"
    " FROM codes c LEFT JOIN pictures p ON p.code = c.code WHERE c.secret = ?1 ORDER BY p.position";

} // namespace

SCodeInfo CSqliteStore::lookup(const std::string& code, std::int64_t nowMs)
{
    return lookupWith(lookupByCode, code, nowMs);
}

SCodeInfo CSqliteStore::lookupSecret(const std::string& secret, std::int64_t nowMs)
{
    return lookupWith(lookupBySecret, secret, nowMs);
}

void CSqliteStore::failCode(const std::string& secret, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement update(
        *this,
        "UPDATE codes SET failed_ms = ?2 WHERE secret = ?1 AND uploaded_ms IS NULL AND failed_ms IS NULL");
    update.bind(1, secret).bind(2, nowMs);
    update.step();
}

SCodeInfo CSqliteStore::lookupWith(const char* sql, const std::string& key, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, sql);
    select.bind(1, key);
    std::vector<SCodeLookupRow> rows;
    while (select.step()) {
        SCodeLookupRow& row = rows.emplace_back();
        row.code.uploaded = !select.isNull(1);
        row.code.failed = !select.isNull(4);
        row.code.deleted = !select.isNull(5);
        row.code.ended = !select.isNull(6) && select.integer(6) <= nowMs;
        row.endsMs = select.integer(6);
        row.code.expired = select.integer(0) <= nowMs;
        row.uploadedMs = select.integer(1);
        row.thumbnail = previewAt(select, 9);
        row.pairPreview = previewAt(select, 12);
        row.scalePercent = select.isNull(15) ? 100 : static_cast<int>(select.integer(15));
        row.publicCode = select.text(16);
        if (!select.isNull(2)) {
            row.picture = SPictureFile{select.text(2), select.text(3), static_cast<int>(select.integer(7)),
                                       static_cast<int>(select.integer(8))};
        }
    }
    return codeInfo(rows);
}

std::int64_t CSqliteStore::accountForHash(const std::string& hash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT id FROM accounts WHERE hash = ?1");
    select.bind(1, m_key.keyed(hash));
    return select.step() ? select.integer(0) : 0;
}

std::int64_t CSqliteStore::accountFor(const std::string& email, const std::string& hash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT id FROM accounts WHERE email = ?1 AND hash = ?2");
    select.bind(1, email).bind(2, m_key.keyed(hash));
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
        if (taken.step())
            return ESignup::EmailTaken;
    }
    CStatement insert(*this, "INSERT INTO accounts (email, hash, created_ms) VALUES (?1, ?2, ?3)");
    insert.bind(1, email).bind(2, m_key.keyed(hash)).bind(3, nowMs);
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

std::vector<SHistoryItem> CSqliteStore::history(std::int64_t accountId, int limit, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this,
                      "SELECT c.code, c.uploaded_ms,"
                      " EXISTS (SELECT 1 FROM pictures p WHERE p.code = c.code AND p.position = 2),"
                      " c.source_url, c.ends_ms, c.thumb_file, c.thumb_width, c.thumb_height FROM codes c"
                      " WHERE c.account_id = ?1 AND c.uploaded_ms IS NOT NULL"
                      " AND c.deleted_ms IS NULL AND (c.ends_ms IS NULL OR c.ends_ms > ?3)"
                      " ORDER BY c.uploaded_ms DESC, c.rowid DESC LIMIT ?2");
    select.bind(1, accountId).bind(2, static_cast<std::int64_t>(limit)).bind(3, nowMs);
    std::vector<SHistoryItem> items;
    while (select.step()) {
        items.push_back({select.text(0), select.integer(1), select.integer(2) ? 2 : 1, select.text(3),
                         select.integer(4), previewAt(select, 5)});
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

std::vector<SReport> CSqliteStore::reports(int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT id, os_type, build_host_user, ver, email, file, received_ms FROM reports"
                             " ORDER BY received_ms DESC, rowid DESC LIMIT ?1");
    select.bind(1, static_cast<std::int64_t>(limit));
    std::vector<SReport> found;
    while (select.step()) {
        SReport report{select.text(0), select.text(1), select.text(2),   select.text(3),
                       select.text(4), select.text(5), select.integer(6)};
        found.push_back(report);
    }
    return found;
}

int CSqliteStore::purgeExpired(std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only codes that never showed a picture: a picture holds its code for good, and so does a
    // deleted code, whose link may have been passed on before.
    CStatement codes(
        *this, "DELETE FROM codes WHERE uploaded_ms IS NULL AND deleted_ms IS NULL AND expires_ms <= ?1");
    codes.bind(1, nowMs);
    codes.step();
    int purged = sqlite3_changes(m_db);
    CStatement sessions(*this, "DELETE FROM sessions WHERE expires_ms <= ?1");
    sessions.bind(1, nowMs);
    sessions.step();
    purged += sqlite3_changes(m_db);
    return purged;
}

std::unique_ptr<CAttemptLimiter> CSqliteStore::makeLimiter(const std::string&, int maxAttempts,
                                                           std::int64_t windowMs)
{
    return std::make_unique<CMemoryAttemptLimiter>(maxAttempts, windowMs);
}

std::unique_ptr<CDiskQuota> CSqliteStore::makeQuota(std::uint64_t limitBytes)
{
    return std::make_unique<CMemoryDiskQuota>(limitBytes);
}

void CSqliteStore::ping()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement(*this, "SELECT 1").step();
}

std::vector<std::string> CSqliteStore::referencedFiles()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT file FROM pictures UNION SELECT thumb_file FROM codes"
                             " WHERE thumb_file IS NOT NULL UNION SELECT pair_file FROM codes"
                             " WHERE pair_file IS NOT NULL");
    std::vector<std::string> names;
    while (select.step())
        names.push_back(select.text(0));
    return names;
}

} // namespace BL::Server
