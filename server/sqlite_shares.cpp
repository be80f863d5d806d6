// Taking uploads back in the SQLite store: deletion by the uploader's secret or by the owner.

#include "server/sqlite_statement.h"
#include "server/sqlite_store.h"

#include <set>

namespace BL::Server {

SPictureFile CSqliteStore::previewAt(CStatement& select, int column)
{
    if (select.isNull(column))
        return {};
    const std::string name = select.text(column);
    return {name, previewMime(name), static_cast<int>(select.integer(column + 1)),
            static_cast<int>(select.integer(column + 2))};
}

void CSqliteStore::bindPreview(CStatement& stmt, int index, const SPictureFile& preview)
{
    if (preview.name.empty()) {
        stmt.bindNull(index).bindNull(index + 1).bindNull(index + 2);
        return;
    }
    stmt.bind(index, preview.name)
        .bind(index + 1, static_cast<std::int64_t>(preview.width))
        .bind(index + 2, static_cast<std::int64_t>(preview.height));
}

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

bool CSqliteStore::storePreviews(const std::string& code, const SPictureFile& thumbnail,
                                 const SPictureFile& pair)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement update(*this, "UPDATE codes SET thumb_file = ?2, thumb_width = ?3, thumb_height = ?4,"
                             " pair_file = ?5, pair_width = ?6, pair_height = ?7 WHERE code = ?1"
                             " AND deleted_ms IS NULL AND thumb_file IS NULL AND pair_file IS NULL"
                             " AND EXISTS (SELECT 1 FROM pictures WHERE code = ?1)");
    update.bind(1, code);
    bindPreview(update, 2, thumbnail);
    bindPreview(update, 5, pair);
    update.step();
    return sqlite3_changes(m_db) == 1;
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
    std::vector<std::string> files;
    {
        CStatement remove(*this, "DELETE FROM pictures WHERE code = ?1 RETURNING file");
        remove.bind(1, code);
        while (remove.step())
            files.push_back(remove.text(0));
    }
    removePreviews(code, &files);
    return files;
}

void CSqliteStore::removePreviews(const std::string& code, std::vector<std::string>* files)
{
    {
        CStatement select(*this, "SELECT thumb_file, pair_file FROM codes WHERE code = ?1");
        select.bind(1, code);
        if (!select.step())
            return;
        for (int column = 0; column < 2; ++column)
            if (!select.isNull(column))
                files->push_back(select.text(column));
    }
    CStatement clear(*this, "UPDATE codes SET thumb_file = NULL, thumb_width = NULL, thumb_height = NULL,"
                            " pair_file = NULL, pair_width = NULL, pair_height = NULL WHERE code = ?1");
    clear.bind(1, code);
    clear.step();
}

std::vector<std::string> CSqliteStore::purgeExpiredPictures(std::int64_t nowMs, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CTransaction transaction(*this);
    std::vector<std::string> files;
    std::set<std::string> codes;
    {
        CStatement remove(*this, "DELETE FROM pictures WHERE rowid IN (SELECT rowid FROM pictures"
                                 " WHERE ends_ms <= ?1 LIMIT ?2) RETURNING code, file");
        remove.bind(1, nowMs).bind(2, static_cast<std::int64_t>(limit));
        while (remove.step()) {
            codes.insert(remove.text(0));
            files.push_back(remove.text(1));
        }
    }
    for (const std::string& code : codes)
        removePreviews(code, &files);
    transaction.commit();
    return files;
}

} // namespace BL::Server
