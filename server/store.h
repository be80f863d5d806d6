#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace BL::Server {

// One stored picture file: its name under the pictures directory and its media type.
struct SPictureFile
{
    std::string name;
    std::string mime;
};

enum class ECodeState { Unknown, Pending, Expired, Uploaded };

struct SCodeInfo
{
    ECodeState state = ECodeState::Unknown;
    std::vector<SPictureFile> files;
    std::int64_t uploadedMs = 0;
};

enum class EClaim { Ok, Unknown, Used, Expired };

enum class ESignup { Ok, EmailTaken, CredentialTaken };

struct SHistoryItem
{
    std::string code;
    std::int64_t uploadedMs = 0;
    int pictureCount = 0;
    std::string sourceUrl;
};

struct SReport
{
    std::string id;
    std::string osType;
    std::string buildHostUser;
    std::string version;
    std::string email;
    std::string fileName;
};

// The service's database: codes with the pictures stored under them, accounts, sign-in
// sessions and crash reports. One connection in WAL mode, serialised by a mutex: every
// statement is short, and SQLite writes one at a time anyway.
class CStore
{
public:
    // Opens or creates the database; throws std::runtime_error on failure.
    explicit CStore(const std::string& path);
    ~CStore();
    CStore(const CStore&) = delete;
    CStore& operator=(const CStore&) = delete;

    // A fresh, unused code that stays claimable until nowMs + lifetimeMs.
    std::string reserveCode(std::int64_t nowMs, std::int64_t lifetimeMs);

    // Ties the pictures to `code`, which must be reserved, unused and unexpired. With an empty
    // `code` a new one is made; the code used comes back in `usedCode`.
    EClaim storeUpload(const std::string& code, std::int64_t nowMs, std::int64_t accountId,
                       const std::vector<SPictureFile>& files, const std::string& sourceUrl,
                       std::string* usedCode);

    // What a code names right now; `files` is filled only for an uploaded code.
    SCodeInfo lookup(const std::string& code, std::int64_t nowMs);

    // The account whose credential hash this is, or 0.
    std::int64_t accountForHash(const std::string& hash);
    // The account with this e-mail whose credential hash this is, or 0.
    std::int64_t accountFor(const std::string& email, const std::string& hash);
    std::string accountEmail(std::int64_t accountId);
    ESignup createAccount(const std::string& email, const std::string& hash, std::int64_t nowMs);

    void createSession(const std::string& token, std::int64_t accountId, std::int64_t expiresMs);
    // The signed-in account of a session token, or 0 for an unknown or expired one.
    std::int64_t sessionAccount(const std::string& token, std::int64_t nowMs);
    void deleteSession(const std::string& token);

    // The account's uploads, newest first.
    std::vector<SHistoryItem> history(std::int64_t accountId, int limit);

    void addReport(const SReport& report, std::int64_t nowMs);

    // Every picture file name any row refers to (for integrity checks).
    std::vector<std::string> referencedFiles();

private:
    class CStatement;
    sqlite3_stmt* prepare(const char* sql);
    void exec(const char* sql);

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> m_statements;
};

} // namespace BL::Server
