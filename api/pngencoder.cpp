#include "api/pngencoder.h"

#include "api/logging.h"
#include "platform/largebuffer.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QtConcurrent>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <libdeflate.h>
#include <limits>
#include <memory>
#include <vector>
#include <zlib.h>

namespace BL::Api {

namespace {

// Level 2 of libdeflate keeps desktop pictures, photos and text within 2 % of the size of Qt's
// writer (zlib level 6 after libpng's filter search), at three quarters of the time of level 5,
// which saves only 3-8 % more. It compresses pictures too small to be worth two bands.
constexpr int kDeflateLevel = 2;
// The last band of a large picture: level 1 takes two thirds of the time of level 2 for some
// 2 % more bytes, and a full screen is what the person waits for.
constexpr int kBandDeflateLevel = 1;
// Below this many bytes of rows a second thread costs more than it saves.
constexpr qsizetype kSplitBytes = 256 * 1024;
// From this many filtered bytes on, the picture is made in two bands (see encodeRows).
constexpr size_t kDeflateSplitBytes = 1024 * 1024;
// zlib's fastest level takes some 1.5 times as long per byte as libdeflate's level 1: it gets
// the smaller band, so that both threads finish together.
constexpr double kZlibShare = 0.42;

enum EFilter : std::uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

struct SRows
{
    QImage image;       // in a format whose rows are read below
    int channels = 3;   // 3: RGB, 4: RGBA
    bool packed = true; // rows are already R,G,B(,A) bytes; otherwise 0xffRRGGBB words
};

// The pixels as rows of 8-bit RGB or RGBA, converting only where Qt's layout differs.
SRows rowsOf(const QImage& image)
{
    SRows rows;
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

// Formats whose depth or palette Qt's writer keeps and ours would not.
bool keepsQtWriter(QImage::Format format)
{
    switch (format) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
    case QImage::Format_Alpha8:
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return true;
    default:
        return false;
    }
}

void rawRow(const SRows& rows, int y, std::uint8_t* out)
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
// read as signed, have the smallest sum of magnitudes: libpng's own choice, over the three
// filters that matter for screens and photos. `row` and `prev` have `bpp` zero bytes before
// their first byte, so that the loop is branch-free and the compiler vectorises it.
void filterRow(const std::uint8_t* __restrict row, const std::uint8_t* __restrict prev, int n, int bpp,
               std::uint8_t* out, std::uint8_t* scratch)
{
    std::uint8_t* __restrict sub = scratch;
    std::uint8_t* __restrict up = scratch + n;
    std::uint8_t* __restrict paeth = scratch + 2 * n;
    std::uint32_t sumSub = 0, sumUp = 0, sumPaeth = 0;
    for (int i = 0; i < n; ++i) {
        const int x = row[i], a = row[i - bpp], b = prev[i], c = prev[i - bpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        const auto s = std::uint8_t(x - a), u = std::uint8_t(x - b), p = std::uint8_t(x - predicted);
        sub[i] = s;
        up[i] = u;
        paeth[i] = p;
        sumSub += std::uint32_t(std::abs(int(std::int8_t(s))));
        sumUp += std::uint32_t(std::abs(int(std::int8_t(u))));
        sumPaeth += std::uint32_t(std::abs(int(std::int8_t(p))));
    }
    const std::uint8_t* chosen = paeth;
    EFilter filter = Paeth;
    if (sumSub <= sumUp && sumSub <= sumPaeth) {
        filter = Sub;
        chosen = sub;
    } else if (sumUp <= sumPaeth) {
        filter = Up;
        chosen = up;
    }
    out[0] = filter;
    std::memcpy(out + 1, chosen, size_t(n));
}

// Filters rows [first, last) into `out`, which has room for them.
void filterRows(const SRows& rows, int first, int last, std::uint8_t* out)
{
    const int bpp = rows.channels;
    const int n = rows.image.width() * bpp;
    // Two raw rows, each after bpp zero bytes, and the three candidate filterings.
    std::vector<std::uint8_t> buffer(size_t(n + bpp) * 2 + size_t(n) * 3, 0);
    std::uint8_t* row = buffer.data() + bpp;
    std::uint8_t* prev = row + n + bpp;
    std::uint8_t* scratch = prev + n;
    if (first > 0)
        rawRow(rows, first - 1, prev); // otherwise the row above the first is all zero
    for (int y = first; y < last; ++y) {
        rawRow(rows, y, row);
        filterRow(row, prev, n, bpp, out, scratch);
        out += n + 1;
        std::swap(row, prev);
    }
}

void appendUint32(QByteArray& out, std::uint32_t v)
{
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(bytes, 4);
}

void appendChunk(QByteArray& out, const char type[4], const char* data, std::uint32_t length)
{
    appendUint32(out, length);
    const qsizetype typeAt = out.size();
    out.append(type, 4);
    out.append(data, int(length));
    const auto* crcStart = reinterpret_cast<const std::uint8_t*>(out.constData() + typeAt);
    appendUint32(out, std::uint32_t(libdeflate_crc32(0, crcStart, length + 4)));
}

// One band of rows, filtered and deflated on its own thread (see encodeRows).
struct SBand
{
    BL::Platform::LargeBuffer deflated;
    size_t length = 0; // 0: failed
    std::uint32_t adler = 1;
};

// Filters rows [first, last) into `filtered` and deflates them into a buffer of their own (raw
// deflate, no header). zlib ends its band on a byte boundary without closing the stream (a sync
// flush), so that another band can follow; libdeflate is quicker but only makes final streams,
// so it takes the last band.
SBand filterAndDeflate(const SRows& rows, int first, int last, std::uint8_t* filtered, bool closesStream)
{
    const size_t stride = size_t(rows.image.width()) * size_t(rows.channels) + 1;
    const size_t size = stride * size_t(last - first);
    filterRows(rows, first, last, filtered);
    SBand band;
    band.adler = std::uint32_t(libdeflate_adler32(1, filtered, size));
    if (closesStream) {
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
            libdeflate_alloc_compressor(kBandDeflateLevel), libdeflate_free_compressor);
        if (!compressor)
            return band;
        const size_t room = libdeflate_deflate_compress_bound(compressor.get(), size);
        band.deflated = BL::Platform::allocateLargeBuffer(room);
        if (band.deflated)
            band.length =
                libdeflate_deflate_compress(compressor.get(), filtered, size, band.deflated.get(), room);
        return band;
    }
    const size_t room = size_t(compressBound(uLong(size))) + 16;
    band.deflated = BL::Platform::allocateLargeBuffer(room);
    z_stream stream{};
    // Raw deflate (negative window bits): the header and the checksum are written around it.
    if (!band.deflated || deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return band;
    stream.next_in = filtered;
    stream.avail_in = uInt(size);
    stream.next_out = band.deflated.get();
    stream.avail_out = uInt(room);
    const int result = deflate(&stream, Z_SYNC_FLUSH);
    if (result == Z_OK && stream.avail_in == 0)
        band.length = room - stream.avail_out;
    deflateEnd(&stream);
    return band;
}

// The zlib stream of the rows in `out`, which has compressedRoom() bytes; its length, 0 on
// failure. A large picture is made in two bands side by side, each filtered and deflated by its
// own thread with no wait between the two steps, and the bands are joined under one header and
// one checksum. The bytes do not depend on the number of threads.
size_t encodeRows(const SRows& rows, EPngThreads threads, std::uint8_t* filtered, size_t filteredSize,
                  std::uint8_t* out, size_t room)
{
    const int height = rows.image.height();
    const size_t stride = filteredSize / size_t(height);
    if (filteredSize < kDeflateSplitBytes || height < 2) {
        // Rows depend only on their raw neighbour above, so two halves filter side by side.
        const int half = threads == EPngThreads::Two && filteredSize >= kSplitBytes ? height / 2 : 0;
        QFuture<void> lower;
        if (half > 0)
            lower = QtConcurrent::run([&rows, filtered, half, height, stride] {
                filterRows(rows, half, height, filtered + stride * size_t(half));
            });
        filterRows(rows, 0, half > 0 ? half : height, filtered);
        lower.waitForFinished();
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
            libdeflate_alloc_compressor(kDeflateLevel), libdeflate_free_compressor);
        return compressor ? libdeflate_zlib_compress(compressor.get(), filtered, filteredSize, out, room) : 0;
    }

    const int split = std::clamp(int(double(height) * kZlibShare + 0.5), 1, height - 1);
    SBand first;
    const auto firstBand = [&first, &rows, split, filtered] {
        first = filterAndDeflate(rows, 0, split, filtered, false);
    };
    QFuture<void> firstDone;
    if (threads == EPngThreads::Two)
        firstDone = QtConcurrent::run(firstBand);
    else
        firstBand();
    const SBand second = filterAndDeflate(rows, split, height, filtered + stride * size_t(split), true);
    firstDone.waitForFinished();
    if (first.length == 0 || second.length == 0 || 2 + first.length + second.length + 4 > room)
        return 0;
    const auto checksum =
        std::uint32_t(adler32_combine(first.adler, second.adler, z_off_t(stride * size_t(height - split))));
    // 0x78 0x01: deflate with a 32 KiB window at the fastest level, a multiple of 31 as zlib wants.
    out[0] = 0x78;
    out[1] = 0x01;
    std::memcpy(out + 2, first.deflated.get(), first.length);
    std::memcpy(out + 2 + first.length, second.deflated.get(), second.length);
    std::uint8_t* const end = out + 2 + first.length + second.length;
    end[0] = std::uint8_t(checksum >> 24);
    end[1] = std::uint8_t(checksum >> 16);
    end[2] = std::uint8_t(checksum >> 8);
    end[3] = std::uint8_t(checksum);
    return 2 + first.length + second.length + 4;
}

// Room for compressRows' output, whichever way it goes: zlib's bound holds for both compressors.
size_t compressedRoom(size_t size)
{
    return size_t(compressBound(uLong(size))) + 1024;
}

QByteArray encodeWithQt(const QImage& image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, "PNG").write(image))
        png.clear();
    return png;
}

} // namespace

QByteArray encodeFastPng(const QImage& image, EPngThreads threads)
{
    if (image.isNull())
        return {};
    if (keepsQtWriter(image.format()))
        return encodeWithQt(image);

    const SRows rows = rowsOf(image);
    if (rows.image.isNull())
        return {};
    const int width = rows.image.width();
    const int height = rows.image.height();
    const qsizetype stride = qsizetype(width) * rows.channels + 1;
    const size_t filteredSize = size_t(stride) * size_t(height);
    // Left uninitialised: every byte is written below, and zeroing megabytes shows in the timings.
    const BL::Platform::LargeBuffer filtered = BL::Platform::allocateLargeBuffer(filteredSize);
    if (!filtered) {
        qCWarning(lcApi) << "no memory to encode a picture of size" << image.size();
        return {};
    }
    // Compressed straight into its place in the file, after the header chunks and the IDAT
    // chunk's length and type; the pages past the compressed data are never touched.
    QByteArray png;
    png.append("\x89PNG\r\n\x1a\n", 8);
    QByteArray header;
    appendUint32(header, std::uint32_t(width));
    appendUint32(header, std::uint32_t(height));
    // 8 bits per channel, colour type 2 (RGB) or 6 (RGBA), deflate, adaptive filters, no interlace.
    const char rest[5] = {8, char(rows.channels == 4 ? 6 : 2), 0, 0, 0};
    header.append(rest, 5);
    appendChunk(png, "IHDR", header.constData(), std::uint32_t(header.size()));
    if (image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0) {
        QByteArray phys;
        appendUint32(phys, std::uint32_t(image.dotsPerMeterX()));
        appendUint32(phys, std::uint32_t(image.dotsPerMeterY()));
        phys.append(char(1)); // unit: metre
        appendChunk(png, "pHYs", phys.constData(), std::uint32_t(phys.size()));
    }
    const int idatAt = png.size();
    const size_t bound = compressedRoom(filteredSize);
    if (bound > size_t(std::numeric_limits<int>::max() - idatAt - 32))
        return {};
    png.resize(idatAt + 8 + int(bound));
    auto* const data = reinterpret_cast<std::uint8_t*>(png.data()) + idatAt + 8;
    const size_t idatSize = encodeRows(rows, threads, filtered.get(), filteredSize, data, bound);
    if (idatSize == 0) {
        qCWarning(lcApi) << "could not compress a picture of size" << image.size();
        return {};
    }
    const char chunkStart[8] = {
        char(idatSize >> 24), char(idatSize >> 16), char(idatSize >> 8), char(idatSize), 'I', 'D', 'A', 'T'};
    std::memcpy(png.data() + idatAt, chunkStart, sizeof chunkStart);
    png.resize(idatAt + 8 + int(idatSize)); // shrinking keeps the bytes where they are
    const auto* crcStart = reinterpret_cast<const std::uint8_t*>(png.constData() + idatAt + 4);
    appendUint32(png, std::uint32_t(libdeflate_crc32(0, crcStart, idatSize + 4)));
    appendChunk(png, "IEND", nullptr, 0);
    return png;
}

} // namespace BL::Api
