#pragma once

#include "server/hash_key.h"
#include "server/sqlite_checkpointer.h"
#include "server/store.h"
#include "server/store_rules.h"

#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace BL::Server {

// The store in one SQLite file. One connection in WAL mode, serialised by a mutex: every
// statement is short, and SQLite writes one at a time anyway.
class CSqliteStore : public CStore
{
public:
    // Opens or creates the database and migrates it to the newest schema; throws
    // std::runtime_error on failure, when the file's schema is newer than this program, or when
    // its credential hashes were keyed with another key than `key`. Credential hashes go in and
    // out of the store as the client sends them; only their keyed form is stored.
    CSqliteStore(const std::string& path, CHashKey key);
    ~CSqliteStore() override;

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
    class CStatement;
    class CTransaction;
    sqlite3_stmt* prepare(const char* sql);
    SCodeInfo lookupWith(const char* sql, const std::string& key, std::int64_t nowMs);
    // The preview whose file, width and height are the columns from `column` on.
    static SPictureFile previewAt(CStatement& select, int column);
    static void bindPreview(CStatement& stmt, int index, const SPictureFile& preview);
    // The row a probe statement (uploaded_ms, failed_ms, deleted_ms) finds, if any.
    static std::optional<SCodeRow> probeRow(CStatement& probe);
    // Runs a deletion's statements in a transaction of its own; the mutex is held.
    SDeletion deleteIn(const SDeleteStatements& statements);
    // Deletes the picture rows of `code` and gives the files they named.
    std::vector<std::string> removePictureRows(const std::string& code);
    // Clears the previews of `code` and adds their files to `files`.
    void removePreviews(const std::string& code, std::vector<std::string>* files);

    CHashKey m_key;

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::unique_ptr<CSqliteCheckpointer> m_checkpointer;
    std::unordered_map<const char*, sqlite3_stmt*> m_statements;
};

} // namespace BL::Server
