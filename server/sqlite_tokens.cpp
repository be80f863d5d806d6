// Upload tokens in the SQLite store.

#include "server/sqlite_statement.h"
#include "server/sqlite_store.h"

namespace BL::Server {

std::int64_t CSqliteStore::createApiToken(std::int64_t accountId, const std::string& token,
                                          const std::string& name, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement insert(*this,
                      "INSERT INTO api_tokens (account_id, hash, name, created_ms) VALUES (?1, ?2, ?3, ?4)"
                      " RETURNING id");
    insert.bind(1, accountId).bind(2, m_key.keyed(token)).bind(3, name).bind(4, nowMs);
    return insert.step() ? insert.integer(0) : 0;
}

std::vector<SApiToken> CSqliteStore::apiTokens(std::int64_t accountId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement select(*this, "SELECT id, name, created_ms, used_ms FROM api_tokens WHERE account_id = ?1"
                             " ORDER BY id DESC");
    select.bind(1, accountId);
    std::vector<SApiToken> tokens;
    while (select.step())
        tokens.push_back({select.integer(0), select.text(1), select.integer(2), select.integer(3)});
    return tokens;
}

bool CSqliteStore::revokeApiToken(std::int64_t accountId, std::int64_t tokenId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement remove(*this, "DELETE FROM api_tokens WHERE id = ?1 AND account_id = ?2");
    remove.bind(1, tokenId).bind(2, accountId);
    remove.step();
    return sqlite3_changes(m_db) == 1;
}

std::int64_t CSqliteStore::accountForApiToken(const std::string& token, std::int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    CStatement use(*this, "UPDATE api_tokens SET used_ms = ?2 WHERE hash = ?1 RETURNING account_id");
    use.bind(1, m_key.keyed(token)).bind(2, nowMs);
    return use.step() ? use.integer(0) : 0;
}

} // namespace BL::Server
