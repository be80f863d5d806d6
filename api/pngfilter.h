#pragma once

#include <QImage>
#include <cstddef>
#include <cstdint>

namespace BL::Api {

// A truecolour picture as the PNG writer reads it.
struct SPngRows
{
    QImage image;       // in a format whose rows filterPngRows reads
    int channels = 3;   // 3: RGB, 4: RGBA
    bool packed = true; // rows are already R,G,B(,A) bytes; otherwise 0xffRRGGBB words
};

// The pixels as rows of 8-bit RGB or RGBA, converting only where Qt's layout differs.
SPngRows pngRowsOf(const QImage& image);

// Filters rows [first, last) into `out`, a filter byte and the filtered row each, and adds the
// number of zero bytes among them to `zeros` unless it is null. A row depends only on the raw row
// above it, so that bands of rows can be filtered side by side.
void filterPngRows(const SPngRows& rows, int first, int last, std::uint8_t* out,
                   std::size_t* zeros = nullptr);

} // namespace BL::Api
