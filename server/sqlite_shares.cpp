// Taking uploads back in the SQLite store: deletion by the uploader's secret or by the owner.

#include "server/sqlite_statement.h"
#include "server/sqlite_store.h"

namespace BL::Server {

std::optional<SCodeRow> CSqliteStore::probeRow(CStatement& probe)
{
    if (!probe.step())
        return std::nullopt;
    SCodeRow row;
    row.uploaded = !probe.isNull(0);
    row.failed = !probe.isNull(1);
    row.deleted = !probe.isNull(2);
    return row;
}

SDeletion CSqliteStore::deleteIn(const SDeleteStatements& statements)
{
    CTransaction transaction(*this);
    SDeletion deletion = deleteMarked(statements);
    if (deletion.ok)
        transaction.commit();
    return deletion;
}

SDeletion CSqliteStore::deleteBySecret(const std::string& secret, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SDeleteStatements statements;
    statements.mark = [&]() -> std::optional<std::string> {
        // A pending code is ended too: an upload still on its way must not show afterwards.
        CStatement mark(*this, "UPDATE codes SET deleted_ms = ?2 WHERE secret = ?1 AND deleted_ms IS NULL"
                               " AND failed_ms IS NULL AND (uploaded_ms IS NOT NULL OR expires_ms > ?2)"
                               " AND (ends_ms IS NULL OR ends_ms > ?2) RETURNING code");
        mark.bind(1, secret).bind(2, nowMs);
        if (!mark.step())
            return std::nullopt;
        std::string code = mark.text(0);
        mark.step();
        return code;
    };
    statements.probe = [&] {
        CStatement probe(*this, probeBySecret);
        probe.bind(1, secret);
        return probeRow(probe);
    };
    statements.removePictures = [&](const std::string& code) { return removePictureRows(code); };
    return deleteIn(statements);
}

SDeletion CSqliteStore::deleteOwned(const std::string& code, std::int64_t accountId, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SDeleteStatements statements;
    statements.mark = [&]() -> std::optional<std::string> {
        CStatement mark(*this, "UPDATE codes SET deleted_ms = ?2 WHERE code = ?1 AND account_id = ?3"
                               " AND deleted_ms IS NULL AND uploaded_ms IS NOT NULL"
                               " AND (ends_ms IS NULL OR ends_ms > ?2) RETURNING code");
        mark.bind(1, code).bind(2, nowMs).bind(3, accountId);
        if (!mark.step())
            return std::nullopt;
        std::string marked = mark.text(0);
        mark.step();
        return marked;
    };
    statements.probe = [&] {
        // Another account's code is unknown to this one.
        CStatement probe(*this, "SELECT uploaded_ms, failed_ms, deleted_ms FROM codes"
                                " WHERE code = ?1 AND account_id = ?2");
        probe.bind(1, code).bind(2, accountId);
        return probeRow(probe);
    };
    statements.removePictures = [&](const std::string& marked) { return removePictureRows(marked); };
    return deleteIn(statements);
}

std::vector<std::string> CSqliteStore::removePictureRows(const std::string& code)
{
    CStatement remove(*this, "DELETE FROM pictures WHERE code = ?1 RETURNING file");
    remove.bind(1, code);
    std::vector<std::string> files;
    while (remove.step())
        files.push_back(remove.text(0));
    return files;
}

std::vector<std::string> CSqliteStore::purgeExpiredPictures(std::int64_t nowMs, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CTransaction transaction(*this);
    CStatement remove(*this, "DELETE FROM pictures WHERE rowid IN (SELECT rowid FROM pictures"
                             " WHERE ends_ms <= ?1 LIMIT ?2) RETURNING file");
    remove.bind(1, nowMs).bind(2, static_cast<std::int64_t>(limit));
    std::vector<std::string> files;
    while (remove.step())
        files.push_back(remove.text(0));
    transaction.commit();
    return files;
}

} // namespace BL::Server
