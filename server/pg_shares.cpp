// Taking uploads back in the PostgreSQL store: deletion by the uploader's secret or by the owner.

#include "server/pg_store.h"

#include <set>

namespace BL::Server {

namespace {

// Clears the previews of the codes and adds their files to `files`.
void removePreviews(CPgConnection& connection, const std::string& codes, std::vector<std::string>* files)
{
    // The old values come from the locked rows the UPDATE joins.
    const CPgResult cleared = connection.exec(
        "UPDATE codes c SET thumb_file = NULL, thumb_width = NULL, thumb_height = NULL, pair_file = NULL,"
        " pair_width = NULL, pair_height = NULL FROM (SELECT code, thumb_file, pair_file FROM codes"
        " WHERE code = ANY($1::text[]) AND (thumb_file IS NOT NULL OR pair_file IS NOT NULL) FOR UPDATE) old"
        " WHERE c.code = old.code RETURNING old.thumb_file, old.pair_file",
        {codes});
    for (int row = 0; row < cleared.rows(); ++row)
        for (int column = 0; column < 2; ++column)
            if (!cleared.isNull(row, column))
                files->push_back(cleared.text(row, column));
}

std::vector<std::string> removePictureRows(CPgConnection& connection, const std::string& code)
{
    const CPgResult removed = connection.exec("DELETE FROM pictures WHERE code = $1 RETURNING file", {code});
    std::vector<std::string> files;
    for (int row = 0; row < removed.rows(); ++row)
        files.push_back(removed.text(row, 0));
    removePreviews(connection, "{" + code + "}", &files);
    return files;
}

} // namespace

bool CPgStore::storePreviews(const std::string& code, const SPictureFile& thumbnail, const SPictureFile& pair)
{
    std::vector<SPgParam> params{code};
    for (const SPictureFile* preview : {&thumbnail, &pair}) {
        params.push_back(preview->name.empty() ? SPgParam(nullptr) : SPgParam(preview->name));
        params.push_back(optionalNumber(preview->width));
        params.push_back(optionalNumber(preview->height));
    }
    // A deletion racing this holds the row: the UPDATE waits and then finds it deleted, or it
    // names the files first and the deletion takes them with the rest.
    const CPgResult updated = m_pool.acquire()->exec(
        "UPDATE codes SET thumb_file = $2, thumb_width = $3, thumb_height = $4, pair_file = $5,"
        " pair_width = $6, pair_height = $7 WHERE code = $1 AND deleted_ms IS NULL AND thumb_file IS NULL"
        " AND pair_file IS NULL AND EXISTS (SELECT 1 FROM pictures WHERE code = $1)",
        params);
    return updated.affected() == 1;
}

SDeletion CPgStore::deleteIn(CPgConnection& connection, const SDeleteStatements& statements)
{
    CPgTransaction transaction(connection);
    SDeletion deletion = deleteMarked(statements);
    if (deletion.ok)
        transaction.commit();
    return deletion;
}

SDeletion CPgStore::deleteBySecret(const std::string& secret, std::int64_t)
{
    auto connection = m_pool.acquire();
    SDeleteStatements statements;
    statements.mark = [&]() -> std::optional<std::string> {
        // Racing an upload of the same code, the UPDATE waits for the upload's commit and then
        // reads the row as it left it; the DELETE below, a statement of its own, sees its pictures.
        const CPgResult marked = connection->exec(
            "UPDATE codes SET deleted_ms = bl_now_ms() WHERE secret = $1 AND deleted_ms IS NULL"
            " AND failed_ms IS NULL AND (uploaded_ms IS NOT NULL OR expires_ms > bl_now_ms())"
            " AND (ends_ms IS NULL OR ends_ms > bl_now_ms()) RETURNING code",
            {secret});
        if (marked.rows() != 1)
            return std::nullopt;
        return marked.text(0, 0);
    };
    statements.probe = [&] { return probeRow(connection->exec(probeBySecret, {secret})); };
    statements.removePictures = [&](const std::string& code) { return removePictureRows(*connection, code); };
    return deleteIn(*connection, statements);
}

SDeletion CPgStore::deleteOwned(const std::string& code, std::int64_t accountId, std::int64_t)
{
    auto connection = m_pool.acquire();
    SDeleteStatements statements;
    statements.mark = [&]() -> std::optional<std::string> {
        const CPgResult marked =
            connection->exec("UPDATE codes SET deleted_ms = bl_now_ms() WHERE code = $1 AND account_id = $2"
                             " AND deleted_ms IS NULL AND uploaded_ms IS NOT NULL"
                             " AND (ends_ms IS NULL OR ends_ms > bl_now_ms()) RETURNING code",
                             {code, accountId});
        if (marked.rows() != 1)
            return std::nullopt;
        return marked.text(0, 0);
    };
    statements.probe = [&] {
        // Another account's code is unknown to this one.
        return probeRow(connection->exec(
            "SELECT uploaded_ms, failed_ms, deleted_ms FROM codes WHERE code = $1 AND account_id = $2",
            {code, accountId}));
    };
    statements.removePictures = [&](const std::string& marked) {
        return removePictureRows(*connection, marked);
    };
    return deleteIn(*connection, statements);
}

std::vector<std::string> CPgStore::purgeExpiredPictures(std::int64_t, int limit)
{
    auto connection = m_pool.acquire();
    CPgTransaction transaction(*connection);
    // Rows another node is purging are skipped, not waited for: each node gets files of its own.
    const CPgResult removed = connection->exec(
        "DELETE FROM pictures WHERE (code, position) IN (SELECT code, position FROM pictures"
        " WHERE ends_ms <= bl_now_ms() LIMIT $1 FOR UPDATE SKIP LOCKED) RETURNING code, file",
        {limit});
    std::vector<std::string> files;
    std::set<std::string> codes;
    for (int row = 0; row < removed.rows(); ++row) {
        codes.insert(removed.text(row, 0));
        files.push_back(removed.text(row, 1));
    }
    if (!codes.empty()) {
        std::string list = "{";
        for (const std::string& code : codes)
            list += (list.size() > 1 ? "," : "") + code;
        removePreviews(*connection, list + "}", &files);
    }
    transaction.commit();
    return files;
}

} // namespace BL::Server
