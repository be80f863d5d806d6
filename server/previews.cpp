#include "server/previews.h"

#include "server/raster.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace BL::Server {

namespace {

SPreviewImage encoded(const SRgbImage& image)
{
    SPreviewImage preview;
    preview.png = encodePng(image);
    if (!preview.png.empty()) {
        preview.width = image.width;
        preview.height = image.height;
    }
    return preview;
}

// Both pictures at the height of the lower one, at most pairMaxHeight, side by side with a gap;
// narrowed together when they are wider than pairMaxWidth.
bool sideBySide(const SUploadedPicture& left, const SUploadedPicture& right, SRgbImage* out)
{
    double height = std::min({left.height, right.height, pairMaxHeight});
    double leftWidth = left.width * height / left.height;
    double rightWidth = right.width * height / right.height;
    if (leftWidth + rightWidth + pairGap > pairMaxWidth) {
        const double narrower = (pairMaxWidth - pairGap) / (leftWidth + rightWidth);
        leftWidth *= narrower;
        rightWidth *= narrower;
        height *= narrower;
    }
    const int rows = std::max(1, static_cast<int>(std::floor(height)));
    const int leftColumns = std::clamp(static_cast<int>(std::floor(leftWidth)), 1, left.width);
    const int rightColumns = std::clamp(static_cast<int>(std::floor(rightWidth)), 1, right.width);
    SRgbImage first;
    SRgbImage second;
    if (!decodeScaled(left.bytes, left.type, leftColumns, std::min(rows, left.height), &first) ||
        !decodeScaled(right.bytes, right.type, rightColumns, std::min(rows, right.height), &second))
        return false;
    out->width = first.width + pairGap + second.width;
    out->height = std::max(first.height, second.height);
    out->pixels.assign(static_cast<std::size_t>(out->width) * out->height * 3, 255);
    for (int y = 0; y < first.height; ++y)
        std::memcpy(out->row(y), first.row(y), static_cast<std::size_t>(first.width) * 3);
    for (int y = 0; y < second.height; ++y)
        std::memcpy(out->row(y) + static_cast<std::size_t>(first.width + pairGap) * 3, second.row(y),
                    static_cast<std::size_t>(second.width) * 3);
    return true;
}

} // namespace

void fitWithin(int width, int height, int maxWidth, int maxHeight, int* fitWidth, int* fitHeight)
{
    const double scale = std::min({1.0, double(maxWidth) / width, double(maxHeight) / height});
    *fitWidth = std::max(1, static_cast<int>(std::lround(width * scale)));
    *fitHeight = std::max(1, static_cast<int>(std::lround(height * scale)));
}

bool fitsThumbnail(int width, int height)
{
    return width >= 1 && height >= 1 && width <= thumbnailMaxWidth && height <= thumbnailMaxHeight;
}

SPreviews makePreviews(const std::vector<SUploadedPicture>& pictures)
{
    SPreviews previews;
    for (const SUploadedPicture& picture : pictures)
        if (picture.width < 1 || picture.height < 1)
            return previews;
    int width = 0;
    int height = 0;
    if (pictures.size() == 1) {
        const SUploadedPicture& picture = pictures.front();
        if (fitsThumbnail(picture.width, picture.height)) {
            previews.thumbnailIs = EThumbnail::Picture;
            return previews;
        }
        fitWithin(picture.width, picture.height, thumbnailMaxWidth, thumbnailMaxHeight, &width, &height);
        SRgbImage thumbnail;
        if (decodeScaled(picture.bytes, picture.type, width, height, &thumbnail))
            previews.thumbnail = encoded(thumbnail);
    } else if (pictures.size() == 2) {
        SRgbImage pair;
        if (!sideBySide(pictures[0], pictures[1], &pair))
            return previews;
        previews.pair = encoded(pair);
        if (previews.pair.png.empty())
            return previews;
        if (fitsThumbnail(pair.width, pair.height)) {
            previews.thumbnailIs = EThumbnail::Pair;
            return previews;
        }
        fitWithin(pair.width, pair.height, thumbnailMaxWidth, thumbnailMaxHeight, &width, &height);
        previews.thumbnail = encoded(scaledDown(pair, width, height));
    }
    if (!previews.thumbnail.png.empty())
        previews.thumbnailIs = EThumbnail::Made;
    return previews;
}

} // namespace BL::Server
