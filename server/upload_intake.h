#pragma once

#include "server/options.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace BL::Server {

class CDiskQuota;
class CObjectStore;
class CPreviewMaker;
class CStore;
enum class ECodeState;

// What became of an upload: stored under `code`, or refused. `status` 200 with a reason is a refusal
// the person should read (a bad picture, a used code, no room); any other status is the service's.
struct SUploadOutcome
{
    bool ok = false;
    int status = 200;
    std::string reason;
    std::string code;
};

// Takes uploaded pictures in, whoever sends them (the desktop client's forms, an upload token):
// checks them, writes the files durably, then the rows that name them, and queues their previews.
class CUploadIntake
{
public:
    CUploadIntake(const SServiceOptions& options, CStore& store, CObjectStore& pictures, CDiskQuota& quota);
    ~CUploadIntake();
    CUploadIntake(const CUploadIntake&) = delete;
    CUploadIntake& operator=(const CUploadIntake&) = delete;

    // Stores `pictures` (one, or a comparison's two) under the reservation of `secret`, or under a
    // new code when it is empty. A refused upload ends its code.
    SUploadOutcome store(const std::string& secret, std::int64_t accountId,
                         const std::vector<std::string_view>& pictures, const std::string& sourceUrl,
                         int scalePercent);
    // A refusal when `secret` is neither empty nor a reserved, unused code; ok otherwise.
    SUploadOutcome checkUsable(const std::string& secret);
    // Refuses with `reason` and ends the code of `secret`, so that its link says the upload failed.
    SUploadOutcome declineAndEnd(const std::string& secret, const std::string& reason);
    bool full();

    static const char* refusalOf(ECodeState state);
    static constexpr const char* quotaReached = "the service has no room for more pictures";

private:
    const SServiceOptions& m_options;
    CStore& m_store;
    CObjectStore& m_pictures;
    CDiskQuota& m_quota;
    std::unique_ptr<CPreviewMaker> m_previews;
};

} // namespace BL::Server
