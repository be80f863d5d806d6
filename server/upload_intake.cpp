#include "server/upload_intake.h"

#include "server/disk_quota.h"
#include "server/image_check.h"
#include "server/object_store.h"
#include "server/preview_maker.h"
#include "server/previews.h"
#include "server/raster.h"
#include "server/store.h"
#include "server/util.h"

#include <algorithm>
#include <cstdio>
#include <future>

namespace BL::Server {

namespace {

constexpr char notAnImage[] = "not a PNG or JPEG image";
// From this size on, a picture's files are written while it is checked.
constexpr std::uint64_t kWriteWhileCheckingBytes = 256 * 1024;

SUploadOutcome refused(const std::string& reason, int status = 200)
{
    return {false, status, reason, std::string()};
}

} // namespace

CUploadIntake::CUploadIntake(const SServiceOptions& options, CStore& store, CObjectStore& pictures,
                             CDiskQuota& quota)
    : m_options(options), m_store(store), m_pictures(pictures), m_quota(quota),
      m_previews(std::make_unique<CPreviewMaker>(store, pictures, quota))
{
}

CUploadIntake::~CUploadIntake() = default;

const char* CUploadIntake::refusalOf(ECodeState state)
{
    switch (state) {
    case ECodeState::Uploaded:
    case ECodeState::PictureExpired:
        return "code already used";
    case ECodeState::Expired:
        return "code expired";
    case ECodeState::Failed:
        return "code ended by a failed upload";
    case ECodeState::Deleted:
        return "code deleted";
    case ECodeState::Unknown:
    case ECodeState::Pending:
        break;
    }
    return "unknown code";
}

bool CUploadIntake::full()
{
    return m_quota.full();
}

SUploadOutcome CUploadIntake::checkUsable(const std::string& secret)
{
    if (secret.empty())
        return {true, 200, std::string(), std::string()};
    const ECodeState state =
        isAlnumText(secret, 1, 64) ? m_store.lookupSecret(secret, nowMs()).state : ECodeState::Unknown;
    if (state == ECodeState::Pending)
        return {true, 200, std::string(), std::string()};
    return refused(refusalOf(state));
}

SUploadOutcome CUploadIntake::declineAndEnd(const std::string& secret, const std::string& reason)
{
    if (!secret.empty())
        m_store.failCode(secret, nowMs());
    return refused(reason);
}

SUploadOutcome CUploadIntake::store(const std::string& secret, std::int64_t accountId,
                                    const std::vector<std::string_view>& pictureData,
                                    const std::string& sourceUrl, int scalePercent)
{
    // An early check saves decoding and writing for a code that cannot be claimed.
    if (SUploadOutcome usable = checkUsable(secret); !usable.ok)
        return usable;
    std::vector<SUploadedPicture> pictures;
    std::uint64_t bytes = 0;
    for (const std::string_view picture : pictureData) {
        if (picture.size() > m_options.maxUploadBytes)
            return declineAndEnd(secret, "file too large");
        const EImageType type = announcedImageType(picture);
        if (type == EImageType::None)
            return declineAndEnd(secret, notAnImage);
        SUploadedPicture& uploaded = pictures.emplace_back();
        uploaded.bytes = picture;
        uploaded.type = type;
        pictureSize(picture, type, &uploaded.width, &uploaded.height);
        bytes += picture.size();
    }
    CQuotaHold quota(m_quota, bytes);
    if (!quota)
        return declineAndEnd(secret, quotaReached);

    // Files first, durably; only then the rows that name them.
    SUpload upload{secret, accountId, {}, sourceUrl, m_options.maxKeepMs, {}, {}, scalePercent};
    for (const SUploadedPicture& picture : pictures)
        upload.files.push_back({randomHex(12) + "." + fileExtension(picture.type), mimeType(picture.type),
                                picture.width, picture.height});
    std::vector<std::string> written;
    const auto removeWritten = [&] {
        for (const std::string& name : written)
            m_pictures.remove(name);
    };
    const auto writeAll = [&] {
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            std::string error;
            if (!m_pictures.put(upload.files[i].name, pictures[i].bytes, &error)) {
                std::fprintf(stderr, "error: %s\n", error.c_str());
                return false;
            }
            written.push_back(upload.files[i].name);
        }
        return true;
    };
    const auto decodeAll = [&] {
        return std::all_of(pictures.begin(), pictures.end(), [](const SUploadedPicture& picture) {
            return decodesCompletely(picture.bytes, picture.type);
        });
    };
    bool decodable = false;
    bool stored = false;
    try {
        if (bytes >= kWriteWhileCheckingBytes) {
            // A screen-sized picture takes some 5 ms to check and as long again to write and
            // flush: the files are written meanwhile. No row names them before both have succeeded.
            std::future<bool> writing = std::async(std::launch::async, writeAll);
            decodable = decodeAll();
            stored = writing.get();
        } else {
            decodable = decodeAll();
            stored = decodable && writeAll();
        }
    } catch (...) {
        // The writer is done by now: leaving its scope waited for it.
        removeWritten();
        throw;
    }
    if (!decodable || !stored) {
        removeWritten();
        if (!decodable)
            return declineAndEnd(secret, notAnImage);
        return refused("storage failed", 500);
    }
    // A picture that fits the thumbnail's bounds is its own and needs no decoding; any other
    // preview is made after the reply (CPreviewMaker).
    const bool ownThumbnail =
        pictures.size() == 1 && fitsThumbnail(pictures.front().width, pictures.front().height);
    if (ownThumbnail)
        upload.thumbnail = upload.files.front();
    std::string usedCode;
    EClaim claim = EClaim::Unknown;
    try {
        claim = m_store.storeUpload(upload, nowMs(), &usedCode);
    } catch (const CStoreOutcomeUnknown&) {
        // A committed row may name the files: they stay, and so do their bytes.
        quota.keep();
        throw;
    } catch (...) {
        removeWritten();
        throw;
    }
    if (claim != EClaim::Ok) {
        removeWritten();
        return refused(refusalOf(claim == EClaim::Used      ? ECodeState::Uploaded
                                 : claim == EClaim::Expired ? ECodeState::Expired
                                 : claim == EClaim::Failed  ? ECodeState::Failed
                                 : claim == EClaim::Deleted ? ECodeState::Deleted
                                                            : ECodeState::Unknown));
    }
    quota.keep();
    if (!ownThumbnail)
        m_previews->add(usedCode, upload.files);
    return {true, 200, std::string(), usedCode};
}

} // namespace BL::Server
