#pragma once

#include "server/store.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace BL::Server {

class CHashKey;

// The rules both stores keep, each with its own SQL. A store runs its statements under its own
// lock or transaction and hands what they return to these functions, so that what a row means,
// and what is tried again, is decided in one place for every database.

// A code goes into links anyone may see; the secret, longer, is the only thing that lets an
// upload in.
constexpr std::size_t codeLength = 10;
constexpr std::size_t secretLength = 24;

// A code and its secret, drawn at random.
SReservation drawReservation();

// A drawn reservation for place `slot` of the codes asked for.
struct SDrawn
{
    std::size_t slot;
    SReservation reservation;
};

// Draws `count` reservations and has `insert` store them. `insert` gets a batch and gives back
// those the database took; the others met a code or secret already in use and are drawn again
// for the same slot. The reservations come back in the order of their slots.
std::vector<SReservation>
reserveDrawn(std::size_t count, const std::function<std::vector<SDrawn>(std::vector<SDrawn> drawn)>& insert);

// The columns of a code's row that decide its state.
struct SCodeRow
{
    bool uploaded = false; // uploaded_ms is set
    bool failed = false;   // failed_ms is set
    bool expired = false;  // expires_ms is not after now, by the clock the store keeps time with
    bool deleted = false;  // deleted_ms is set
    bool ended = false;    // ends_ms is not after now: the pictures' time ran out
};

// Deleted before all else: a tombstone stays one. Then uploaded: pictures hold their code until
// they are deleted or their time runs out. A failed code stays failed once its reservation has
// run out.
ECodeState codeState(const SCodeRow& row);

// The media type of a preview file: made as PNG, or a picture's own file (a picture that is its
// own thumbnail), whose name ends in its type's extension.
const char* previewMime(const std::string& name);

// One row of a code joined with its pictures (none: one row without a picture), in their order.
struct SCodeLookupRow
{
    SCodeRow code;
    std::int64_t uploadedMs = 0;
    std::int64_t endsMs = 0; // 0: ends_ms is not set
    SPictureFile thumbnail;
    SPictureFile pairPreview;
    int scalePercent = 100;
    std::optional<SPictureFile> picture;
    std::string publicCode;
};

// What lookup() and lookupSecret() answer for these rows; no row: an unknown code.
SCodeInfo codeInfo(const std::vector<SCodeLookupRow>& rows);

// The statements of an upload, run inside its transaction.
struct SUploadStatements
{
    // Inserts a row under `fresh`, uploaded at once; false when a unique key refused it.
    std::function<bool(const SReservation& fresh)> insertUploaded;
    // Marks the code of `secret` uploaded if it is reserved, unused, not failed and unexpired, all
    // in the statement's guard, and gives its code; nothing when the guard took no row.
    std::function<std::optional<std::string>(const std::string& secret)> claim;
    // The row of `secret`, if there is one.
    std::function<std::optional<SCodeRow>(const std::string& secret)> probe;
    // Stores picture number `position` (1, 2, ...) of `code`; throws when it is refused.
    std::function<void(const std::string& code, int position, const SPictureFile& file)> insertPicture;
};

// Claims the code of `secret`, or a fresh code when `secret` is empty, puts it in `claimed` and
// stores `files` under it in their order. When the claim takes no row, the probe tells why, and
// nothing is stored.
EClaim storeClaimed(const std::string& secret, const std::vector<SPictureFile>& files,
                    const SUploadStatements& statements, std::string* claimed);

// The statements of a deletion of one code, run inside its transaction.
struct SDeleteStatements
{
    // Marks the row deleted if it is uploaded and its pictures' time has not run out, or pending
    // and unexpired, and neither failed nor deleted, all in the statement's guard, and gives its
    // code; nothing when the guard took no row.
    std::function<std::optional<std::string>()> mark;
    // The row, if there is one (its expiry is not read: the guard decided it).
    std::function<std::optional<SCodeRow>()> probe;
    // Deletes the picture rows of `code` and gives the files they named.
    std::function<std::vector<std::string>(const std::string& code)> removePictures;
};

// Marks the code deleted and takes its pictures' rows away; when the mark takes no row, the probe
// tells why, and nothing changes.
SDeletion deleteMarked(const SDeleteStatements& statements);

// The newest schema version of both stores. Version 0 is a database from before the versions
// were counted: empty, or (SQLite only) holding version 1's tables.
constexpr int latestSchemaVersion = 9;

// One step of a store's schema: the statements that bring version - 1 to `version`.
struct SMigration
{
    int version;
    const char* sql;
};

// Numbered 1, 2, ... without gaps, up to latestSchemaVersion.
constexpr bool numberedInOrder(const SMigration (&migrations)[latestSchemaVersion])
{
    int expected = 1;
    for (const SMigration& migration : migrations)
        if (migration.version != expected++)
            return false;
    return true;
}

// How one store keeps its schema version and runs a migration; runMigrations() decides which run.
class CAbstractSchemaSteps
{
public:
    virtual ~CAbstractSchemaSteps() = default;

    // Runs `work` in a transaction of its own, committed when `work` returns and rolled back when
    // it throws.
    virtual void inTransaction(const std::function<void()>& work) = 0;
    // The version the database has; throws for one the store cannot tell is the service's.
    virtual int readVersion() = 0;
    virtual void runStep(const SMigration& migration) = 0;
    virtual void writeVersion(int from, int to) = 0;
    // At the newest version, before the last transaction commits.
    virtual void atLatest() {}
};

// Applies the migrations the database lacks, in order, each in a transaction of its own.
// `database` names it in messages ("database /path", "the database").
void runMigrations(CAbstractSchemaSteps& steps, const SMigration (&migrations)[latestSchemaVersion],
                   const std::string& database);

// Throws std::runtime_error for a schema version this program must not touch: a newer one, or
// one below 0, which none writes.
void refuseUnknownVersion(int version, const std::string& database);

// The text whose keyed hash tells whether the hash key in use is the one the rows were keyed with.
constexpr char keyCheckText[] = "brightloom hash key check";

// Throws std::runtime_error unless `stored`, the database's keyed check text, was keyed with `key`:
// another key would sign nobody in.
void checkHashKey(const std::optional<std::string>& stored, const CHashKey& key, const std::string& database);

} // namespace BL::Server
