#include "server/pg_store.h"

#include "server/pg_counters.h"
#include "server/pg_schema.h"
#include "server/store_rules.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace BL::Server {

const char CPgStore::probeBySecret[] =
    "SELECT uploaded_ms, failed_ms, deleted_ms FROM codes WHERE secret = $1";

SPictureFile CPgStore::previewAt(const CPgResult& result, int row, int column)
{
    if (result.isNull(row, column))
        return {};
    const std::string name = result.text(row, column);
    return {name, previewMime(name), static_cast<int>(result.integer(row, column + 1)),
            static_cast<int>(result.integer(row, column + 2))};
}

SPgParam CPgStore::optionalNumber(int value)
{
    return value > 0 ? SPgParam(value) : SPgParam(nullptr);
}

std::optional<SCodeRow> CPgStore::probeRow(const CPgResult& probe)
{
    if (probe.rows() == 0)
        return std::nullopt;
    SCodeRow row;
    row.uploaded = !probe.isNull(0, 0);
    row.failed = !probe.isNull(0, 1);
    row.deleted = !probe.isNull(0, 2);
    return row;
}

CPgStore::CPgStore(const std::string& conninfo, CHashKey key, int connections, SPgTimeouts timeouts)
    : m_key(std::move(key)), m_pool(conninfo, connections, timeouts)
{
    auto connection = m_pool.acquire();
    migratePgSchema(*connection, m_key);
}

std::vector<SReservation> CPgStore::reserveCodes(const std::vector<std::int64_t>& keepForMs, std::int64_t,
                                                 std::int64_t lifetimeMs)
{
    auto connection = m_pool.acquire();
    return reserveDrawn(keepForMs.size(), [&](std::vector<SDrawn> drawn) {
        // All in one statement, so one commit. The unique keys decide: a code or secret another
        // node took at the same moment comes back missing.
        std::string codes = "{";
        std::string secrets = "{";
        std::string keeps = "{";
        for (std::size_t i = 0; i < drawn.size(); ++i) {
            const char* comma = i > 0 ? "," : "";
            codes += comma + drawn[i].reservation.code;
            secrets += comma + drawn[i].reservation.secret;
            keeps += comma + std::to_string(std::max<std::int64_t>(0, keepForMs[drawn[i].slot]));
        }
        const CPgResult inserted = connection->exec(
            "INSERT INTO codes (code, secret, reserved_ms, expires_ms, keep_ms)"
            " SELECT code, secret, bl_now_ms(), bl_now_ms() + $3, NULLIF(keep, 0)"
            " FROM unnest($1::text[], $2::text[], $4::bigint[]) AS drawn (code, secret, keep)"
            " ON CONFLICT DO NOTHING RETURNING code",
            {codes + "}", secrets + "}", lifetimeMs, keeps + "}"});
        std::set<std::string> inCodes;
        for (int row = 0; row < inserted.rows(); ++row)
            inCodes.insert(inserted.text(row, 0));
        std::vector<SDrawn> taken;
        for (SDrawn& reservation : drawn)
            if (inCodes.erase(reservation.reservation.code) > 0)
                taken.push_back(std::move(reservation));
        return taken;
    });
}

EClaim CPgStore::storeUpload(const SUpload& upload, std::int64_t, std::string* usedCode)
{
    auto connection = m_pool.acquire();
    const SPgParam account = upload.accountId > 0 ? SPgParam(upload.accountId) : SPgParam(nullptr);
    const SPgParam source = upload.sourceUrl.empty() ? SPgParam(nullptr) : SPgParam(upload.sourceUrl);
    const SPgParam freshKeep =
        upload.freshKeepForMs > 0 ? SPgParam(upload.freshKeepForMs) : SPgParam(nullptr);
    CPgTransaction transaction(*connection);
    SUploadStatements statements;
    statements.insertUploaded = [&](const SReservation& fresh) {
        return connection
                   ->exec("INSERT INTO codes (code, secret, reserved_ms, expires_ms, uploaded_ms, account_id,"
                          " source_url, keep_ms, ends_ms)"
                          " SELECT $1, $2, now_ms, now_ms, now_ms, $3, $4, $5::bigint, now_ms + $5::bigint"
                          " FROM bl_now_ms() AS now_ms ON CONFLICT DO NOTHING RETURNING code",
                          {fresh.code, fresh.secret, account, source, freshKeep})
                   .rows() == 1;
    };
    statements.claim = [&](const std::string& reserved) -> std::optional<std::string> {
        // Of two nodes racing for one code, the second UPDATE waits for the first and then no
        // longer matches its guard.
        const CPgResult claim = connection->exec(
            "UPDATE codes SET uploaded_ms = bl_now_ms(), account_id = $2, source_url = $3,"
            " ends_ms = bl_now_ms() + keep_ms"
            " WHERE secret = $1 AND uploaded_ms IS NULL AND failed_ms IS NULL AND deleted_ms IS NULL"
            " AND expires_ms > bl_now_ms()"
            " RETURNING code",
            {reserved, account, source});
        if (claim.rows() != 1)
            return std::nullopt;
        return claim.text(0, 0);
    };
    statements.probe = [&](const std::string& reserved) -> std::optional<SCodeRow> {
        return probeRow(connection->exec(probeBySecret, {reserved}));
    };
    statements.insertPicture = [&](const std::string& code, int position, const SPictureFile& file) {
        // With the code's end, for the purge's index.
        connection->exec(
            "INSERT INTO pictures (code, position, file, mime, ends_ms, width, height)"
            " SELECT $1, $2, $3, $4, ends_ms, $5, $6 FROM codes WHERE code = $1",
            {code, position, file.name, file.mime, optionalNumber(file.width), optionalNumber(file.height)});
    };
    std::string claimed;
    const EClaim claim = storeClaimed(upload.secret, upload.files, statements, &claimed);
    if (claim != EClaim::Ok)
        return claim;
    if (!upload.thumbnail.name.empty() || !upload.pairPreview.name.empty() || upload.scalePercent != 100) {
        std::vector<SPgParam> params{claimed};
        for (const SPictureFile* preview : {&upload.thumbnail, &upload.pairPreview}) {
            params.push_back(preview->name.empty() ? SPgParam(nullptr) : SPgParam(preview->name));
            params.push_back(optionalNumber(preview->width));
            params.push_back(optionalNumber(preview->height));
        }
        params.push_back(optionalNumber(upload.scalePercent == 100 ? 0 : upload.scalePercent));
        connection->exec(
            "UPDATE codes SET thumb_file = $2, thumb_width = $3, thumb_height = $4,"
            " pair_file = $5, pair_width = $6, pair_height = $7, scale_percent = $8 WHERE code = $1",
            params);
    }
    const int backendPid = connection->backendPid();
    try {
        transaction.commit();
    } catch (const CPgConnectionError& lost) {
        return settleLostCommit(backendPid, upload.files.empty() ? std::string() : upload.files.front().name,
                                usedCode, lost);
    }
    *usedCode = claimed;
    return EClaim::Ok;
}

EClaim CPgStore::settleLostCommit(int backendPid, const std::string& firstFile, std::string* usedCode,
                                  const CPgConnectionError& lost)
{
    // The COMMIT may have reached the database before the connection went. The old server
    // process is ended first (it may still hold the COMMIT unread), then a fresh connection tells
    // whether the rows are there; until both are known, the files must stay.
    try {
        auto connection = m_pool.acquire();
        connection->exec("SELECT pg_terminate_backend($1, 2000)", {backendPid});
        if (connection->exec("SELECT 1 FROM pg_stat_activity WHERE pid = $1", {backendPid}).rows() != 0)
            throw std::runtime_error("the server process of the lost connection is still there");
        const CPgResult found = connection->exec("SELECT code FROM pictures WHERE file = $1", {firstFile});
        if (found.rows() == 1) {
            *usedCode = found.text(0, 0);
            return EClaim::Ok;
        }
    } catch (const std::exception& e) {
        throw CStoreOutcomeUnknown(std::string(lost.what()) +
                                   " during COMMIT, and no answer after: " + e.what());
    }
    throw lost;
}

namespace {

const char lookupByCode[] =
    "SELECT c.expires_ms, c.uploaded_ms, p.file, p.mime, c.failed_ms, bl_now_ms(), c.deleted_ms, c.ends_ms,"
    " p.width, p.height, c.thumb_file, c.thumb_width, c.thumb_height, c.pair_file, c.pair_width,"
    " c.pair_height, c.scale_percent, c.code"
    " FROM codes c LEFT JOIN pictures p ON p.code = c.code WHERE c.code = $1 ORDER BY p.position";
const char lookupBySecret[] =
    "SELECT c.expires_ms, c.uploaded_ms, p.file, p.mime, c.failed_ms, bl_now_ms(), c.deleted_ms, c.ends_ms,"
    " p.width, p.height, c.thumb_file, c.thumb_width, c.thumb_height, c.pair_file, c.pair_width,"
    " c.pair_height, c.scale_percent, c.code"
    " FROM codes c LEFT JOIN pictures p ON p.code = c.code WHERE c.secret = $1 ORDER BY p.position";

} // namespace

SCodeInfo CPgStore::lookup(const std::string& code, std::int64_t)
{
    return lookupWith(lookupByCode, code);
}

SCodeInfo CPgStore::lookupSecret(const std::string& secret, std::int64_t)
{
    return lookupWith(lookupBySecret, secret);
}

SCodeInfo CPgStore::lookupWith(const char* sql, const std::string& key)
{
    auto connection = m_pool.acquire();
    const CPgResult found = connection->exec(sql, {key});
    std::vector<SCodeLookupRow> rows;
    for (int i = 0; i < found.rows(); ++i) {
        SCodeLookupRow& row = rows.emplace_back();
        row.code.uploaded = !found.isNull(i, 1);
        row.code.failed = !found.isNull(i, 4);
        row.code.deleted = !found.isNull(i, 6);
        row.code.ended = !found.isNull(i, 7) && found.integer(i, 7) <= found.integer(i, 5);
        row.endsMs = found.integer(i, 7);
        // Compared with the database's clock, read by the same statement.
        row.code.expired = found.integer(i, 0) <= found.integer(i, 5);
        row.uploadedMs = found.integer(i, 1);
        row.thumbnail = previewAt(found, i, 10);
        row.pairPreview = previewAt(found, i, 13);
        row.scalePercent = found.isNull(i, 16) ? 100 : static_cast<int>(found.integer(i, 16));
        row.publicCode = found.text(i, 17);
        if (!found.isNull(i, 2)) {
            row.picture =
                SPictureFile{found.text(i, 2), found.text(i, 3), static_cast<int>(found.integer(i, 8)),
                             static_cast<int>(found.integer(i, 9))};
        }
    }
    return codeInfo(rows);
}

void CPgStore::failCode(const std::string& secret, std::int64_t)
{
    m_pool.acquire()->exec("UPDATE codes SET failed_ms = bl_now_ms()"
                           " WHERE secret = $1 AND uploaded_ms IS NULL AND failed_ms IS NULL",
                           {secret});
}

std::int64_t CPgStore::accountForHash(const std::string& hash)
{
    const CPgResult found =
        m_pool.acquire()->exec("SELECT id FROM accounts WHERE hash = $1", {m_key.keyed(hash)});
    return found.rows() ? found.integer(0, 0) : 0;
}

std::int64_t CPgStore::accountFor(const std::string& email, const std::string& hash)
{
    const CPgResult found = m_pool.acquire()->exec(
        "SELECT id FROM accounts WHERE lower(email) = lower($1) AND hash = $2", {email, m_key.keyed(hash)});
    return found.rows() ? found.integer(0, 0) : 0;
}

std::string CPgStore::accountEmail(std::int64_t accountId)
{
    const CPgResult found = m_pool.acquire()->exec("SELECT email FROM accounts WHERE id = $1", {accountId});
    return found.rows() ? found.text(0, 0) : std::string();
}

ESignup CPgStore::createAccount(const std::string& email, const std::string& hash, std::int64_t)
{
    auto connection = m_pool.acquire();
    const CPgResult inserted =
        connection->exec("INSERT INTO accounts (email, hash, created_ms) VALUES ($1, $2, bl_now_ms())"
                         " ON CONFLICT DO NOTHING RETURNING id",
                         {email, m_key.keyed(hash)});
    if (inserted.rows() == 1)
        return ESignup::Ok;
    const CPgResult taken =
        connection->exec("SELECT 1 FROM accounts WHERE lower(email) = lower($1)", {email});
    return taken.rows() ? ESignup::EmailTaken : ESignup::CredentialTaken;
}

void CPgStore::createSession(const std::string& token, std::int64_t accountId, std::int64_t expiresMs)
{
    m_pool.acquire()->exec("INSERT INTO sessions (token, account_id, expires_ms) VALUES ($1, $2, $3)",
                           {token, accountId, expiresMs});
}

std::int64_t CPgStore::sessionAccount(const std::string& token, std::int64_t)
{
    const CPgResult found = m_pool.acquire()->exec(
        "SELECT account_id FROM sessions WHERE token = $1 AND expires_ms > bl_now_ms()", {token});
    return found.rows() ? found.integer(0, 0) : 0;
}

void CPgStore::deleteSession(const std::string& token)
{
    m_pool.acquire()->exec("DELETE FROM sessions WHERE token = $1", {token});
}

std::vector<SHistoryItem> CPgStore::history(std::int64_t accountId, int limit, std::int64_t)
{
    const CPgResult rows = m_pool.acquire()->exec(
        "SELECT c.code, c.uploaded_ms,"
        " EXISTS (SELECT 1 FROM pictures p WHERE p.code = c.code AND p.position = 2),"
        " COALESCE(c.source_url, ''), COALESCE(c.ends_ms, 0), c.thumb_file, c.thumb_width, c.thumb_height"
        " FROM codes c"
        " WHERE c.account_id = $1 AND c.uploaded_ms IS NOT NULL AND c.deleted_ms IS NULL"
        " AND (c.ends_ms IS NULL OR c.ends_ms > bl_now_ms())"
        " ORDER BY c.uploaded_ms DESC, c.seq DESC LIMIT $2",
        {accountId, limit});
    std::vector<SHistoryItem> items;
    for (int row = 0; row < rows.rows(); ++row)
        items.push_back({rows.text(row, 0), rows.integer(row, 1), rows.text(row, 2) == "t" ? 2 : 1,
                         rows.text(row, 3), rows.integer(row, 4), previewAt(rows, row, 5)});
    return items;
}

void CPgStore::addReport(const SReport& report, std::int64_t)
{
    m_pool.acquire()->exec(
        "INSERT INTO reports (id, received_ms, os_type, build_host_user, ver, email, file)"
        " VALUES ($1, bl_now_ms(), $2, $3, $4, $5, $6)",
        {report.id, report.osType, report.buildHostUser, report.version, report.email, report.fileName});
}

std::vector<SReport> CPgStore::reports(int limit)
{
    const CPgResult rows = m_pool.acquire()->exec(
        "SELECT id, COALESCE(os_type, ''), COALESCE(build_host_user, ''), COALESCE(ver, ''),"
        " COALESCE(email, ''), file, received_ms FROM reports"
        " ORDER BY received_ms DESC, seq DESC LIMIT $1",
        {limit});
    std::vector<SReport> found;
    for (int row = 0; row < rows.rows(); ++row) {
        found.push_back({rows.text(row, 0), rows.text(row, 1), rows.text(row, 2), rows.text(row, 3),
                         rows.text(row, 4), rows.text(row, 5), rows.integer(row, 6)});
    }
    return found;
}

int CPgStore::purgeExpired(std::int64_t)
{
    auto connection = m_pool.acquire();
    // Only codes that never showed a picture: a picture holds its code for good, and so does a
    // deleted code, whose link may have been passed on before.
    int purged = connection
                     ->exec("DELETE FROM codes WHERE uploaded_ms IS NULL AND deleted_ms IS NULL"
                            " AND expires_ms <= bl_now_ms()")
                     .affected();
    purged += connection->exec("DELETE FROM sessions WHERE expires_ms <= bl_now_ms()").affected();
    // Attempts of addresses that stopped trying; every window is shorter than an hour.
    connection->exec("DELETE FROM attempts WHERE at_ms <= bl_now_ms() - 3600000");
    return purged;
}

std::unique_ptr<CAttemptLimiter> CPgStore::makeLimiter(const std::string& name, int maxAttempts,
                                                       std::int64_t windowMs)
{
    return std::make_unique<CPgAttemptLimiter>(m_pool, name, maxAttempts, windowMs);
}

std::unique_ptr<CDiskQuota> CPgStore::makeQuota(std::uint64_t limitBytes)
{
    return std::make_unique<CPgDiskQuota>(m_pool, limitBytes);
}

void CPgStore::ping()
{
    // One deadline for the whole check: waiting for a connection, opening one, and the statement.
    const auto deadline = CPgClock::now() + std::chrono::milliseconds(m_pool.timeouts().pingMs);
    m_pool.acquireBy(deadline)->execBy(deadline, "SELECT 1");
}

std::vector<std::string> CPgStore::referencedFiles()
{
    const CPgResult rows = m_pool.acquire()->exec(
        "SELECT file FROM pictures UNION SELECT thumb_file FROM codes WHERE thumb_file IS NOT NULL"
        " UNION SELECT pair_file FROM codes WHERE pair_file IS NOT NULL");
    std::vector<std::string> names;
    for (int row = 0; row < rows.rows(); ++row)
        names.push_back(rows.text(row, 0));
    return names;
}

} // namespace BL::Server
