#include "server/store_rules.h"

#include "server/hash_key.h"
#include "server/util.h"

#include <stdexcept>

namespace BL::Server {

SReservation drawReservation()
{
    return {randomAlnum(codeLength), randomAlnum(secretLength)};
}

std::vector<SReservation>
reserveDrawn(std::size_t count, const std::function<std::vector<SDrawn>(std::vector<SDrawn> drawn)>& insert)
{
    std::vector<SReservation> reserved(count);
    std::vector<bool> filled(count, false);
    for (std::size_t missing = count; missing > 0;) {
        std::vector<SDrawn> drawn;
        for (std::size_t slot = 0; slot < count; ++slot)
            if (!filled[slot])
                drawn.push_back({slot, drawReservation()});
        for (SDrawn& taken : insert(std::move(drawn))) {
            if (filled[taken.slot])
                continue;
            filled[taken.slot] = true;
            reserved[taken.slot] = std::move(taken.reservation);
            --missing;
        }
    }
    return reserved;
}

ECodeState codeState(const SCodeRow& row)
{
    if (row.deleted)
        return ECodeState::Deleted;
    if (row.uploaded)
        return row.ended ? ECodeState::PictureExpired : ECodeState::Uploaded;
    if (row.failed)
        return ECodeState::Failed;
    return row.expired ? ECodeState::Expired : ECodeState::Pending;
}

const char* previewMime(const std::string& name)
{
    const std::string jpeg = ".jpg";
    return name.size() > jpeg.size() && name.compare(name.size() - jpeg.size(), jpeg.size(), jpeg) == 0
               ? "image/jpeg"
               : "image/png";
}

SCodeInfo codeInfo(const std::vector<SCodeLookupRow>& rows)
{
    SCodeInfo info;
    if (rows.empty())
        return info;
    info.state = codeState(rows.front().code);
    info.code = rows.front().publicCode;
    if (info.state != ECodeState::Uploaded)
        return info;
    info.uploadedMs = rows.front().uploadedMs;
    info.endsMs = rows.front().endsMs;
    info.thumbnail = rows.front().thumbnail;
    info.pairPreview = rows.front().pairPreview;
    info.scalePercent = rows.front().scalePercent;
    for (const SCodeLookupRow& row : rows)
        if (row.picture)
            info.files.push_back(*row.picture);
    return info;
}

namespace {

EClaim claimCode(const std::string& secret, const SUploadStatements& statements, std::string* claimed)
{
    if (secret.empty()) {
        for (;;) {
            const SReservation fresh = drawReservation();
            if (statements.insertUploaded(fresh)) {
                *claimed = fresh.code;
                return EClaim::Ok;
            }
        }
    }
    if (std::optional<std::string> code = statements.claim(secret)) {
        *claimed = std::move(*code);
        return EClaim::Ok;
    }
    std::optional<SCodeRow> row = statements.probe(secret);
    if (!row)
        return EClaim::Unknown;
    // The claim's guard refused the row: one neither used, failed nor deleted had run out.
    row->expired = true;
    switch (codeState(*row)) {
    case ECodeState::Uploaded:
        return EClaim::Used;
    case ECodeState::Failed:
        return EClaim::Failed;
    case ECodeState::Deleted:
        return EClaim::Deleted;
    default:
        return EClaim::Expired;
    }
}

} // namespace

EClaim storeClaimed(const std::string& secret, const std::vector<SPictureFile>& files,
                    const SUploadStatements& statements, std::string* claimed)
{
    const EClaim claim = claimCode(secret, statements, claimed);
    if (claim != EClaim::Ok)
        return claim;
    for (std::size_t i = 0; i < files.size(); ++i)
        statements.insertPicture(*claimed, static_cast<int>(i + 1), files[i]);
    return EClaim::Ok;
}

SDeletion deleteMarked(const SDeleteStatements& statements)
{
    SDeletion deletion;
    if (std::optional<std::string> code = statements.mark()) {
        deletion.ok = true;
        deletion.code = std::move(*code);
        deletion.files = statements.removePictures(deletion.code);
        return deletion;
    }
    std::optional<SCodeRow> row = statements.probe();
    if (!row)
        return deletion;
    // The mark's guard refused the row: one neither failed nor deleted had run out, as a
    // reservation or as pictures.
    row->expired = true;
    row->ended = true;
    deletion.refusedIn = codeState(*row);
    return deletion;
}

void refuseUnknownVersion(int version, const std::string& database)
{
    if (version > latestSchemaVersion) {
        throw std::runtime_error(database + " has schema version " + std::to_string(version) +
                                 ", newer than version " + std::to_string(latestSchemaVersion) +
                                 ", the newest this program knows; run a newer brightloom-server");
    }
    if (version < 0) {
        throw std::runtime_error(database + " has schema version " + std::to_string(version) +
                                 ", which no brightloom-server writes");
    }
}

void runMigrations(CAbstractSchemaSteps& steps, const SMigration (&migrations)[latestSchemaVersion],
                   const std::string& database)
{
    for (bool current = false; !current;) {
        steps.inTransaction([&] {
            const int version = steps.readVersion();
            refuseUnknownVersion(version, database);
            if (version == latestSchemaVersion) {
                steps.atLatest();
                current = true;
                return;
            }
            const SMigration& next = migrations[version];
            steps.runStep(next);
            steps.writeVersion(version, next.version);
        });
    }
}

void checkHashKey(const std::optional<std::string>& stored, const CHashKey& key, const std::string& database)
{
    if (!stored || *stored != key.keyed(keyCheckText)) {
        throw std::runtime_error(database +
                                 " was keyed with another hash key; start with the hash.key file that "
                                 "belongs to it");
    }
}

} // namespace BL::Server
