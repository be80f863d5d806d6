#pragma once

#include "server/image_check.h"

#include <string>
#include <string_view>
#include <vector>

namespace BL::Server {

// The largest thumbnail: the history page's and the desktop client's list's.
constexpr int thumbnailMaxWidth = 320;
constexpr int thumbnailMaxHeight = 320;
// The side by side of a comparison, the picture a chat shows for its link: about the size chats
// show large previews at.
constexpr int pairMaxWidth = 1200;
constexpr int pairMaxHeight = 630;
constexpr int pairGap = 16;

// One uploaded picture, already checked, with the size its header gives.
struct SUploadedPicture
{
    std::string_view bytes;
    EImageType type = EImageType::None;
    int width = 0;
    int height = 0;
};

// A preview made at upload: PNG bytes and their size; empty bytes when none could be made.
struct SPreviewImage
{
    std::string png;
    int width = 0;
    int height = 0;
};

// What serves as the thumbnail: one made for it, or, when that would be no smaller, the picture
// itself or the side by side.
enum class EThumbnail { None, Made, Picture, Pair };

struct SPreviews
{
    EThumbnail thumbnailIs = EThumbnail::None;
    SPreviewImage thumbnail; // when Made
    // Only for a comparison.
    SPreviewImage pair;
};

// The size that fits `width` x `height` in `maxWidth` x `maxHeight`, keeping the proportions and
// never enlarging.
void fitWithin(int width, int height, int maxWidth, int maxHeight, int* fitWidth, int* fitHeight);

// Whether a picture of this size is its own thumbnail (a known, non-empty size within bounds).
bool fitsThumbnail(int width, int height);

// The thumbnail of a picture, or of a comparison's side by side, and that side by side: both
// pictures the same height, on white. A picture that cannot be decoded gets none; one that fits
// the thumbnail's bounds already is its own.
SPreviews makePreviews(const std::vector<SUploadedPicture>& pictures);

} // namespace BL::Server
