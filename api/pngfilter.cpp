#include "api/pngfilter.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace BL::Api {

namespace {

enum EFilter : std::uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

void rawRow(const SPngRows& rows, int y, std::uint8_t* out)
{
    const int width = rows.image.width();
    if (rows.packed) {
        std::memcpy(out, rows.image.constScanLine(y), size_t(width) * size_t(rows.channels));
        return;
    }
    const auto* px = reinterpret_cast<const std::uint32_t*>(rows.image.constScanLine(y));
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = px[x];
        out[0] = std::uint8_t(p >> 16);
        out[1] = std::uint8_t(p >> 8);
        out[2] = std::uint8_t(p);
        out += 3;
    }
}

// Writes the filter byte and the filtered row to `out`. The filter is the one whose bytes,
// read as signed, have the smallest sum of magnitudes: libpng's own choice, over the four
// filters that matter for screens and photos (None never wins it on such rows). `row` and `prev`
// have `bpp` zero bytes before their first byte, so that the loop is branch-free and the compiler
// vectorises it. Every value fits in 16 bits, and so do the sums over a stretch of 256 bytes (at
// most 128 each): the vectoriser then works on eight bytes at a time instead of four.
void filterRow(const std::uint8_t* __restrict row, const std::uint8_t* __restrict prev, int n, int bpp,
               std::uint8_t* out, std::uint8_t* scratch)
{
    std::uint8_t* __restrict sub = scratch;
    std::uint8_t* __restrict up = scratch + n;
    std::uint8_t* __restrict average = scratch + 2 * n;
    std::uint8_t* __restrict paeth = scratch + 3 * n;
    const auto magnitude = [](std::uint8_t v) {
        const auto s = std::int16_t(std::int8_t(v));
        return std::uint16_t(s < 0 ? -s : s);
    };
    std::uint32_t sumSub = 0, sumUp = 0, sumAverage = 0, sumPaeth = 0;
    for (int stretch = 0; stretch < n; stretch += 256) {
        const int end = std::min(n, stretch + 256);
        std::uint16_t s16 = 0, u16 = 0, v16 = 0, p16 = 0;
        for (int i = stretch; i < end; ++i) {
            const std::int16_t x = row[i], a = row[i - bpp], b = prev[i], c = prev[i - bpp];
            const auto pa = std::int16_t(b > c ? b - c : c - b), pb = std::int16_t(a > c ? a - c : c - a);
            const auto pcSigned = std::int16_t(a + b - 2 * c);
            const auto pc = std::int16_t(pcSigned < 0 ? -pcSigned : pcSigned);
            const std::int16_t predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            const auto s = std::uint8_t(x - a), u = std::uint8_t(x - b), v = std::uint8_t(x - ((a + b) >> 1)),
                       p = std::uint8_t(x - predicted);
            sub[i] = s;
            up[i] = u;
            average[i] = v;
            paeth[i] = p;
            s16 = std::uint16_t(s16 + magnitude(s));
            u16 = std::uint16_t(u16 + magnitude(u));
            v16 = std::uint16_t(v16 + magnitude(v));
            p16 = std::uint16_t(p16 + magnitude(p));
        }
        sumSub += s16;
        sumUp += u16;
        sumAverage += v16;
        sumPaeth += p16;
    }
    const std::uint8_t* chosen = paeth;
    EFilter filter = Paeth;
    if (sumSub <= sumUp && sumSub <= sumAverage && sumSub <= sumPaeth) {
        filter = Sub;
        chosen = sub;
    } else if (sumUp <= sumAverage && sumUp <= sumPaeth) {
        filter = Up;
        chosen = up;
    } else if (sumAverage <= sumPaeth) {
        filter = Average;
        chosen = average;
    }
    out[0] = filter;
    std::memcpy(out + 1, chosen, size_t(n));
}

// How many of the `size` bytes at `data` are zero, counted in stretches whose count fits a byte.
size_t zeroBytes(const std::uint8_t* data, size_t size)
{
    size_t zeros = 0;
    for (size_t stretch = 0; stretch < size; stretch += 255) {
        const size_t end = std::min(size, stretch + 255);
        std::uint8_t count = 0;
        for (size_t i = stretch; i < end; ++i)
            count = std::uint8_t(count + (data[i] == 0));
        zeros += count;
    }
    return zeros;
}

} // namespace

SPngRows pngRowsOf(const QImage& image)
{
    SPngRows rows;
    if (image.hasAlphaChannel()) {
        rows.image = image.convertToFormat(QImage::Format_RGBA8888);
        rows.channels = 4;
    } else if (image.format() == QImage::Format_RGB888) {
        rows.image = image;
    } else {
        rows.image = image.convertToFormat(QImage::Format_RGB32);
        rows.packed = false;
    }
    return rows;
}

void filterPngRows(const SPngRows& rows, int first, int last, std::uint8_t* out, size_t* zeros)
{
    const int bpp = rows.channels;
    const int n = rows.image.width() * bpp;
    // Two raw rows, each after bpp zero bytes, and the four candidate filterings.
    std::vector<std::uint8_t> buffer(size_t(n + bpp) * 2 + size_t(n) * 4, 0);
    std::uint8_t* row = buffer.data() + bpp;
    std::uint8_t* prev = row + n + bpp;
    std::uint8_t* scratch = prev + n;
    if (first > 0)
        rawRow(rows, first - 1, prev); // otherwise the row above the first is all zero
    for (int y = first; y < last; ++y) {
        rawRow(rows, y, row);
        filterRow(row, prev, n, bpp, out, scratch);
        if (zeros)
            *zeros += zeroBytes(out + 1, size_t(n));
        out += n + 1;
        std::swap(row, prev);
    }
}

} // namespace BL::Api
