#pragma once

#include "server/hash_key.h"
#include "server/pg_connection.h"
#include "server/store.h"
#include "server/store_rules.h"

#include <optional>

namespace BL::Server {

// The store in a PostgreSQL database that several service nodes share. Every time it keeps or
// compares (expiry, upload, reception) comes from the database's clock, not the node's, so the
// `nowMs` arguments are not used; codes are unique by the database's constraint, and a claim is
// one guarded UPDATE, which holds across nodes as it does across threads.
class CPgStore : public CStore
{
public:
    // `conninfo`: a libpq connection string or postgresql:// URL. Migrates the schema; throws
    // std::runtime_error as CSqliteStore does.
    CPgStore(const std::string& conninfo, CHashKey key, int connections, SPgTimeouts timeouts = {});

    using CStore::reserveCodes;
    std::vector<SReservation> reserveCodes(const std::vector<std::int64_t>& keepForMs, std::int64_t nowMs,
                                           std::int64_t lifetimeMs) override;
    using CStore::storeUpload;
    EClaim storeUpload(const SUpload& upload, std::int64_t nowMs, std::string* usedCode) override;
    bool storePreviews(const std::string& code, const SPictureFile& thumbnail,
                       const SPictureFile& pair) override;
    SCodeInfo lookup(const std::string& code, std::int64_t nowMs) override;
    SCodeInfo lookupSecret(const std::string& secret, std::int64_t nowMs) override;
    void failCode(const std::string& secret, std::int64_t nowMs) override;
    SDeletion deleteBySecret(const std::string& secret, std::int64_t nowMs) override;
    SDeletion deleteOwned(const std::string& code, std::int64_t accountId, std::int64_t nowMs) override;
    std::int64_t createApiToken(std::int64_t accountId, const std::string& token, const std::string& name,
                                std::int64_t nowMs) override;
    std::vector<SApiToken> apiTokens(std::int64_t accountId) override;
    bool revokeApiToken(std::int64_t accountId, std::int64_t tokenId) override;
    std::int64_t accountForApiToken(const std::string& token, std::int64_t nowMs) override;

    std::int64_t accountForHash(const std::string& hash) override;
    std::int64_t accountFor(const std::string& email, const std::string& hash) override;
    std::string accountEmail(std::int64_t accountId) override;
    ESignup createAccount(const std::string& email, const std::string& hash, std::int64_t nowMs) override;
    void createSession(const std::string& token, std::int64_t accountId, std::int64_t expiresMs) override;
    std::int64_t sessionAccount(const std::string& token, std::int64_t nowMs) override;
    void deleteSession(const std::string& token) override;
    std::vector<SHistoryItem> history(std::int64_t accountId, int limit, std::int64_t nowMs) override;
    void addReport(const SReport& report, std::int64_t nowMs) override;
    std::vector<SReport> reports(int limit) override;
    int purgeExpired(std::int64_t nowMs) override;
    std::vector<std::string> purgeExpiredPictures(std::int64_t nowMs, int limit) override;
    std::vector<std::string> referencedFiles() override;
    void ping() override;
    std::unique_ptr<CAttemptLimiter> makeLimiter(const std::string& name, int maxAttempts,
                                                 std::int64_t windowMs) override;
    std::unique_ptr<CDiskQuota> makeQuota(std::uint64_t limitBytes) override;

private:
    SCodeInfo lookupWith(const char* sql, const std::string& key);
    // The preview whose file, width and height are the columns of `row` from `column` on.
    static SPictureFile previewAt(const CPgResult& result, int row, int column);
    // NULL for 0: a size that is not known.
    static SPgParam optionalNumber(int value);
    // The row of a probe (uploaded_ms, failed_ms, deleted_ms), if it found one.
    static std::optional<SCodeRow> probeRow(const CPgResult& probe);
    static const char probeBySecret[];
    // Runs a deletion's statements on `connection` in a transaction of its own.
    static SDeletion deleteIn(CPgConnection& connection, const SDeleteStatements& statements);
    EClaim settleLostCommit(int backendPid, const std::string& firstFile, std::string* usedCode,
                            const CPgConnectionError& lost);

    CHashKey m_key;
    CPgPool m_pool;
};

} // namespace BL::Server
