// Upload tokens in the PostgreSQL store.

#include "server/pg_store.h"

namespace BL::Server {

std::int64_t CPgStore::createApiToken(std::int64_t accountId, const std::string& token,
                                      const std::string& name, std::int64_t nowMs)
{
    const CPgResult made = m_pool.acquire()->exec(
        "INSERT INTO api_tokens (account_id, hash, name, created_ms) VALUES ($1, $2, $3, $4) RETURNING id",
        {accountId, m_key.keyed(token), name, nowMs});
    return made.rows() ? made.integer(0, 0) : 0;
}

std::vector<SApiToken> CPgStore::apiTokens(std::int64_t accountId)
{
    const CPgResult found = m_pool.acquire()->exec("SELECT id, name, created_ms, COALESCE(used_ms, 0) FROM "
                                                   "api_tokens WHERE account_id = $1 ORDER BY id DESC",
                                                   {accountId});
    std::vector<SApiToken> tokens;
    for (int row = 0; row < found.rows(); ++row)
        tokens.push_back(
            {found.integer(row, 0), found.text(row, 1), found.integer(row, 2), found.integer(row, 3)});
    return tokens;
}

bool CPgStore::revokeApiToken(std::int64_t accountId, std::int64_t tokenId)
{
    return m_pool.acquire()
               ->exec("DELETE FROM api_tokens WHERE id = $1 AND account_id = $2", {tokenId, accountId})
               .affected() == 1;
}

std::int64_t CPgStore::accountForApiToken(const std::string& token, std::int64_t nowMs)
{
    const CPgResult used =
        m_pool.acquire()->exec("UPDATE api_tokens SET used_ms = $2 WHERE hash = $1 RETURNING account_id",
                               {m_key.keyed(token), nowMs});
    return used.rows() ? used.integer(0, 0) : 0;
}

} // namespace BL::Server
