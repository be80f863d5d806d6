#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace BL::Server {

class CAttemptLimiter;
class CDiskQuota;

// One stored picture file: its name under the pictures directory, its media type and its size in
// pixels (0: not known, for pictures stored before sizes were kept). An empty name: no file.
struct SPictureFile
{
    std::string name;
    std::string mime;
    int width = 0;
    int height = 0;
};

// Expired: reserved and never uploaded in time. Deleted: taken back by its uploader. PictureExpired:
// uploaded, and its time ran out. The last two keep their row as a tombstone, so that their
// public code is never handed out again.
enum class ECodeState { Unknown, Pending, Expired, Uploaded, Failed, Deleted, PictureExpired };

struct SCodeInfo
{
    ECodeState state = ECodeState::Unknown;
    std::string code; // the public code, whichever way it was looked up
    std::vector<SPictureFile> files;
    std::int64_t uploadedMs = 0;
    // When the pictures of an uploaded code expire; 0: never.
    std::int64_t endsMs = 0;
    // Made at upload (PNG): the thumbnail, and the side by side of a comparison.
    SPictureFile thumbnail;
    SPictureFile pairPreview;
    // Picture pixels per 100 CSS pixels: 100 unless taken on a scaled screen (200 at twice).
    int scalePercent = 100;
};

// One upload's pictures and where they came from.
struct SUpload
{
    // The uploader's secret of a reserved code; empty: a fresh code.
    std::string secret;
    std::int64_t accountId = 0; // 0: anonymous
    std::vector<SPictureFile> files;
    std::string sourceUrl;
    // How long the pictures of a fresh code stay; 0: for good. A reserved code keeps the time
    // its reservation asked for.
    std::int64_t freshKeepForMs = 0;
    // The previews made of them, if any.
    SPictureFile thumbnail;
    SPictureFile pairPreview;
    // The device pixel ratio of the screen they were taken on, in percent.
    int scalePercent = 100;
};

enum class EClaim { Ok, Unknown, Used, Expired, Failed, Deleted };

// What a deletion found: Ok when it took the code's pictures away (or ended a code still waiting
// for its upload); otherwise the state that refused it.
struct SDeletion
{
    bool ok = false;
    ECodeState refusedIn = ECodeState::Unknown;
    // The public code, when the deletion was by secret.
    std::string code;
    // The files the deleted rows named, for the caller to remove once the rows are gone.
    std::vector<std::string> files;
};

// A reserved code: `code` goes into the link anyone may see, `secret` only to the uploader.
struct SReservation
{
    std::string code;
    std::string secret;
};

enum class ESignup { Ok, EmailTaken, CredentialTaken };

struct SHistoryItem
{
    std::string code;
    std::int64_t uploadedMs = 0;
    int pictureCount = 0;
    std::string sourceUrl;
    std::int64_t endsMs = 0; // 0: kept for good
    SPictureFile thumbnail;
};

// A token an account uploads with from other programs; only its keyed hash is stored.
struct SApiToken
{
    std::int64_t id = 0;
    std::string name;
    std::int64_t createdMs = 0;
    std::int64_t usedMs = 0; // 0: never used
};

struct SReport
{
    std::string id;
    std::string osType;
    std::string buildHostUser;
    std::string version;
    std::string email;
    std::string fileName;
    std::int64_t receivedMs = 0;
};

// The store cannot tell whether a write committed (the connection went during COMMIT and the
// database did not answer after): the files the write names must stay, since a committed row may
// name them; the orphan sweep removes them later if none does.
class CStoreOutcomeUnknown : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The service's database: codes with the pictures stored under them, accounts, sign-in
// sessions and crash reports. Implementations are safe to call from any thread, report failures
// by throwing std::runtime_error, and bring their schema up to date when they open.
class CStore
{
public:
    CStore() = default;
    virtual ~CStore() = default;
    CStore(const CStore&) = delete;
    CStore& operator=(const CStore&) = delete;

    // Fresh, unused codes, one for each entry of `keepForMs`, that stay claimable by their secrets
    // until nowMs + lifetimeMs, for requests that arrived together; a store may commit them at
    // once. Each entry says how long the code's pictures stay after their upload, 0 for good.
    virtual std::vector<SReservation> reserveCodes(const std::vector<std::int64_t>& keepForMs,
                                                   std::int64_t nowMs, std::int64_t lifetimeMs) = 0;
    std::vector<SReservation> reserveCodes(std::size_t count, std::int64_t nowMs, std::int64_t lifetimeMs)
    {
        return reserveCodes(std::vector<std::int64_t>(count, 0), nowMs, lifetimeMs);
    }
    SReservation reserveCode(std::int64_t nowMs, std::int64_t lifetimeMs, std::int64_t keepForMs = 0)
    {
        return reserveCodes(std::vector<std::int64_t>{keepForMs}, nowMs, lifetimeMs).front();
    }

    // Ties the pictures to the code of the upload's secret, which must be reserved, unused and
    // unexpired. With an empty secret a new code is made; the (public) code used comes back in
    // `usedCode`. The claim and the pictures are stored together or not at all, and of two
    // uploads racing for one code one wins.
    virtual EClaim storeUpload(const SUpload& upload, std::int64_t nowMs, std::string* usedCode) = 0;
    EClaim storeUpload(const std::string& secret, std::int64_t nowMs, std::int64_t accountId,
                       const std::vector<SPictureFile>& files, const std::string& sourceUrl,
                       std::string* usedCode)
    {
        return storeUpload(SUpload{secret, accountId, files, sourceUrl, 0, {}, {}, 100}, nowMs, usedCode);
    }

    // Names the previews made after the upload of `code` was stored: its thumbnail (possibly its
    // own picture) and a comparison's side by side (empty names for none). False, and nothing
    // named, when the code no longer holds pictures (deleted or expired meanwhile) or already has
    // previews: the caller removes the files it wrote.
    virtual bool storePreviews(const std::string& code, const SPictureFile& thumbnail,
                               const SPictureFile& pair) = 0;

    // What a code names right now; `files` is filled, in order, only for an uploaded code.
    virtual SCodeInfo lookup(const std::string& code, std::int64_t nowMs) = 0;
    // The same for the code whose secret this is.
    virtual SCodeInfo lookupSecret(const std::string& secret, std::int64_t nowMs) = 0;
    // Ends the pending code of `secret` after a refused upload: it takes no later upload.
    virtual void failCode(const std::string& secret, std::int64_t nowMs) = 0;

    // Deletes the pictures of the code of `secret` (uploaded, or still pending: then it takes no
    // upload) and keeps its row as a tombstone. Of a deletion racing an upload or another
    // deletion, each sees the other whole.
    virtual SDeletion deleteBySecret(const std::string& secret, std::int64_t nowMs) = 0;
    // The same for an uploaded code of `accountId`, named by its public code.
    virtual SDeletion deleteOwned(const std::string& code, std::int64_t accountId, std::int64_t nowMs) = 0;

    // Upload tokens: made with the token itself (the store keeps its keyed hash, like a credential
    // hash), listed, revoked by their owner; accountForApiToken names the account of a token and
    // notes its use, or gives 0.
    virtual std::int64_t createApiToken(std::int64_t accountId, const std::string& token,
                                        const std::string& name, std::int64_t nowMs) = 0;
    virtual std::vector<SApiToken> apiTokens(std::int64_t accountId) = 0;
    virtual bool revokeApiToken(std::int64_t accountId, std::int64_t tokenId) = 0;
    virtual std::int64_t accountForApiToken(const std::string& token, std::int64_t nowMs) = 0;

    // The account whose credential hash this is, or 0.
    virtual std::int64_t accountForHash(const std::string& hash) = 0;
    // The account with this e-mail (in any case) whose credential hash this is, or 0.
    virtual std::int64_t accountFor(const std::string& email, const std::string& hash) = 0;
    virtual std::string accountEmail(std::int64_t accountId) = 0;
    virtual ESignup createAccount(const std::string& email, const std::string& hash, std::int64_t nowMs) = 0;

    virtual void createSession(const std::string& token, std::int64_t accountId, std::int64_t expiresMs) = 0;
    // The signed-in account of a session token, or 0 for an unknown or expired one.
    virtual std::int64_t sessionAccount(const std::string& token, std::int64_t nowMs) = 0;
    virtual void deleteSession(const std::string& token) = 0;

    // The account's uploads that are still shown at `nowMs`, newest first.
    virtual std::vector<SHistoryItem> history(std::int64_t accountId, int limit, std::int64_t nowMs) = 0;

    virtual void addReport(const SReport& report, std::int64_t nowMs) = 0;
    // The crash reports received, newest first.
    virtual std::vector<SReport> reports(int limit) = 0;

    // Deletes codes that expired without a picture and expired sign-in sessions; returns how
    // many rows went.
    virtual int purgeExpired(std::int64_t nowMs) = 0;
    // Takes away at most `limit` picture rows whose time ran out by `nowMs`, with their codes'
    // previews, keeping the codes' rows as tombstones, and gives the files they named for the
    // caller to remove. Nodes purging together each get other rows.
    virtual std::vector<std::string> purgeExpiredPictures(std::int64_t nowMs, int limit) = 0;

    // Every picture file name any row refers to, pictures and previews, each once (for integrity
    // checks and the orphan sweep).
    virtual std::vector<std::string> referencedFiles() = 0;

    // Throws std::runtime_error when the database cannot answer right now.
    virtual void ping() = 0;

    // Counters where every node of the service sees them: in memory for a store only one node
    // uses, in the database for a shared one. `name` keeps the counts of different limits apart.
    virtual std::unique_ptr<CAttemptLimiter> makeLimiter(const std::string& name, int maxAttempts,
                                                         std::int64_t windowMs) = 0;
    virtual std::unique_ptr<CDiskQuota> makeQuota(std::uint64_t limitBytes) = 0;
};

} // namespace BL::Server
