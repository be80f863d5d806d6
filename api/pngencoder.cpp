#include "api/pngencoder.h"

#include "api/logging.h"
#include "api/pngfilter.h"
#include "platform/largebuffer.h"
#include "platform/threadpriority.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libdeflate.h>
#include <limits>
#include <memory>
#include <zlib.h>

namespace BL::Api {

namespace {

// Level 2 of libdeflate keeps desktop pictures, photos and text within 2 % of the size of Qt's
// writer (zlib level 6 after libpng's filter search), at three quarters of the time of level 5,
// which saves only 3-8 % more. It compresses screen-like pictures too small to be worth two bands.
constexpr int kDeflateLevel = 2;
// The last band of a large picture: level 1 takes two thirds of the time of level 2 for some
// 2 % more bytes, and a full screen is what the person waits for.
constexpr int kBandDeflateLevel = 1;
// Below this many bytes of rows a second thread costs more than it saves.
constexpr qsizetype kSplitBytes = 256 * 1024;
// From this many filtered bytes on, a screen-like picture is made in two bands (see encodeRows).
constexpr size_t kDeflateSplitBytes = 1024 * 1024;
// Photo-like pictures of up to this many filtered bytes are made in one stream at
// kPhotoDeflateLevel: at most some 25 ms on one core. Larger ones, a full screen among them, are
// made in two bands without a look at their content, on the path that a person waits for.
constexpr size_t kPhotoMaxBytes = 2 * 1024 * 1024;
constexpr int kPhotoDeflateLevel = 4;
// The band of a photo-like picture on which its two ways are tried (see deflatePhoto).
constexpr size_t kPhotoBandBytes = 64 * 1024;
// Under this share of zero filtered bytes a picture is photo-like: the desktops, windows and text
// measured have seven to nine tenths, photos under a quarter (under a half with very fine grain).
constexpr double kPhotoZeroShare = 0.5;
// zlib's fastest level takes some 1.5 times as long per byte as libdeflate's level 1: it gets
// the smaller band, so that both threads finish together.
constexpr double kZlibShare = 0.42;

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

// Room for encodeRows' output, whichever way it goes: zlib's bound holds for both compressors.
size_t compressedRoom(size_t size)
{
    return size_t(compressBound(uLong(size))) + 1024;
}

using UCompressor = std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>;

UCompressor compressor(int level)
{
    return UCompressor(libdeflate_alloc_compressor(level), libdeflate_free_compressor);
}

// The filtered rows as one zlib stream at libdeflate's `level`; its length, 0 on failure.
size_t deflateWhole(int level, const std::uint8_t* filtered, size_t size, std::uint8_t* out, size_t room)
{
    const UCompressor deflater = compressor(level);
    return deflater ? libdeflate_zlib_compress(deflater.get(), filtered, size, out, room) : 0;
}

// One band of filtered rows, deflated on its own thread (see encodeRows).
struct SBand
{
    BL::Platform::LargeBuffer deflated;
    size_t length = 0; // 0: failed
    std::uint32_t adler = 1;
    size_t size = 0; // filtered bytes
};

// Deflates `size` filtered bytes into a buffer of their own (raw deflate, no header). zlib ends
// its band on a byte boundary without closing the stream (a sync flush), so that another band can
// follow; libdeflate is quicker but only makes final streams, so it takes the last band.
SBand deflateBand(const std::uint8_t* filtered, size_t size, bool closesStream)
{
    SBand band;
    band.size = size;
    band.adler = std::uint32_t(libdeflate_adler32(1, filtered, size));
    if (closesStream) {
        const UCompressor deflater = compressor(kBandDeflateLevel);
        if (!deflater)
            return band;
        const size_t room = libdeflate_deflate_compress_bound(deflater.get(), size);
        band.deflated = BL::Platform::allocateLargeBuffer(room);
        if (band.deflated)
            band.length =
                libdeflate_deflate_compress(deflater.get(), filtered, size, band.deflated.get(), room);
        return band;
    }
    const size_t room = size_t(compressBound(uLong(size))) + 16;
    band.deflated = BL::Platform::allocateLargeBuffer(room);
    z_stream stream{};
    // Raw deflate (negative window bits): the header and the checksum are written around it.
    if (!band.deflated || deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return band;
    stream.next_in = const_cast<std::uint8_t*>(filtered); // zlib's type; it only reads them
    stream.avail_in = uInt(size);
    stream.next_out = band.deflated.get();
    stream.avail_out = uInt(room);
    const int result = deflate(&stream, Z_SYNC_FLUSH);
    if (result == Z_OK && stream.avail_in == 0)
        band.length = room - stream.avail_out;
    deflateEnd(&stream);
    return band;
}

// The two bands under one zlib header and one checksum; the length, 0 on failure.
size_t joinBands(const SBand& first, const SBand& second, std::uint8_t* out, size_t room)
{
    if (first.length == 0 || second.length == 0 || 2 + first.length + second.length + 4 > room)
        return 0;
    const auto checksum = std::uint32_t(adler32_combine(first.adler, second.adler, z_off_t(second.size)));
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

// The second threads of background encodings. A thread's priority cannot be raised again, so
// these lowered threads do nothing else. Made on first use, by an encoding thread: it has no
// parent and goes at exit, as Qt's shared pool does.
QThreadPool* backgroundHelpers()
{
    static QThreadPool* const pool = [] {
        static QThreadPool threads;
        threads.setMaxThreadCount(2);
        return &threads;
    }();
    return pool;
}

// Runs `work` on the second thread of `threads`: at the caller's priority, for a background
// caller, so that the half of the work it hands over does not compete with the overlay and the
// window system at full weight. Not run here for One.
template<typename Work> QFuture<void> onSecondThread(EPngThreads threads, Work work)
{
    switch (threads) {
    case EPngThreads::One:
        break;
    case EPngThreads::Two:
        return QtConcurrent::run(work);
    case EPngThreads::TwoInBackground:
        return QtConcurrent::run(backgroundHelpers(), [work, caller = QThread::currentThread()] {
            // A caller that waits for work not yet started runs it itself, as it is.
            if (QThread::currentThread() != caller)
                BL::Platform::lowerCurrentThreadPriority();
            work();
        });
    }
    return {};
}

// The filtered rows as one zlib stream of zlib's run-length strategy; its length, 0 on failure.
// Makes the first band on a second thread (or first, on one) while this one makes the second,
// and joins their streams.
template<typename First, typename Second>
size_t inTwoBands(EPngThreads threads, First makeFirst, Second makeSecond, std::uint8_t* out, size_t room)
{
    SBand first;
    const auto firstBand = [&first, &makeFirst] { first = makeFirst(); };
    QFuture<void> firstDone;
    if (threads == EPngThreads::One)
        firstBand();
    else
        firstDone = onSecondThread(threads, firstBand);
    const SBand second = makeSecond();
    firstDone.waitForFinished();
    return joinBands(first, second, out, room);
}

size_t deflateRuns(const std::uint8_t* filtered, size_t size, std::uint8_t* out, size_t room)
{
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK)
        return 0;
    stream.next_in = const_cast<std::uint8_t*>(filtered); // zlib's type; it only reads them
    stream.avail_in = uInt(size);
    stream.next_out = out;
    stream.avail_out = uInt(room);
    const size_t length = deflate(&stream, Z_FINISH) == Z_STREAM_END ? room - stream.avail_out : 0;
    deflateEnd(&stream);
    return length;
}

// A photo-like picture's filtered rows (`stride` bytes each) as one zlib stream: libdeflate's at
// kPhotoDeflateLevel or zlib's run-length strategy, whichever makes fewer bytes of a band of
// rows from the middle. libdeflate wins on grain; a decoded JPEG, smoother, has few repeats worth
// more than their length and distance, and libpng's writer drops the short ones (zlib's filtered
// strategy), which libdeflate cannot be told to: there, runs save 1-4 % of libdeflate's bytes in
// less time. Trying the band costs some 5 % more time; both ways over the whole picture, side by
// side, took the other core for as long as the picture, which the rest of the program wants.
size_t deflatePhoto(const std::uint8_t* filtered, size_t size, size_t stride, std::uint8_t* out, size_t room,
                    SPngEncoding& how)
{
    const size_t rows = size / stride;
    const size_t bandRows = std::clamp<size_t>(kPhotoBandBytes / stride, 1, rows);
    const std::uint8_t* band = filtered + stride * ((rows - bandRows) / 2);
    const size_t bandSize = stride * bandRows;
    const size_t bandRoom = compressedRoom(bandSize);
    const BL::Platform::LargeBuffer scratch = BL::Platform::allocateLargeBuffer(bandRoom);
    if (!scratch)
        return 0;
    const size_t byRuns = deflateRuns(band, bandSize, scratch.get(), bandRoom);
    const size_t byLevel = deflateWhole(kPhotoDeflateLevel, band, bandSize, scratch.get(), bandRoom);
    how.level = kPhotoDeflateLevel;
    how.runLengths = byRuns != 0 && (byLevel == 0 || byRuns < byLevel);
    return how.runLengths ? deflateRuns(filtered, size, out, room)
                          : deflateWhole(kPhotoDeflateLevel, filtered, size, out, room);
}

// The zlib stream of the rows in `out`, which has compressedRoom() bytes; its length, 0 on
// failure. The bytes do not depend on the number of threads: only the work is shared.
//  - A large picture is made in two bands side by side, each filtered and deflated by its own
//    thread with no wait between the two steps, and the bands are joined.
//  - Any other is filtered first (in two halves side by side when that pays). Where few of its
//    filtered bytes are zero it is photo-like: it is made in one stream at a higher level (see
//    deflatePhoto), which saves a few percent of a photo's bytes for a cost that is small at this
//    size. A screen-like picture is made in one stream at kDeflateLevel, or in two bands when it
//    is big enough.
size_t encodeRows(const SPngRows& rows, EPngThreads threads, std::uint8_t* filtered, size_t filteredSize,
                  std::uint8_t* out, size_t room, SPngEncoding& how)
{
    const int height = rows.image.height();
    const size_t stride = filteredSize / size_t(height);
    const int split = std::clamp(int(double(height) * kZlibShare + 0.5), 1, std::max(1, height - 1));
    const bool two = threads != EPngThreads::One;
    std::uint8_t* const secondRows = filtered + stride * size_t(split);
    if (filteredSize > kPhotoMaxBytes && height >= 2) {
        how.twoBands = true;
        how.level = kBandDeflateLevel;
        return inTwoBands(
            threads,
            [&rows, split, filtered, stride] {
                filterPngRows(rows, 0, split, filtered);
                return deflateBand(filtered, stride * size_t(split), false);
            },
            [&rows, split, height, secondRows, stride] {
                filterPngRows(rows, split, height, secondRows);
                return deflateBand(secondRows, stride * size_t(height - split), true);
            },
            out, room);
    }

    // Rows depend only on their raw neighbour above, so two halves filter side by side.
    const int half = two && filteredSize >= kSplitBytes ? height / 2 : 0;
    size_t zeros = 0, lowerZeros = 0;
    QFuture<void> lower;
    if (half > 0)
        lower = onSecondThread(threads, [&rows, &lowerZeros, filtered, half, height, stride] {
            filterPngRows(rows, half, height, filtered + stride * size_t(half), &lowerZeros);
        });
    filterPngRows(rows, 0, half > 0 ? half : height, filtered, &zeros);
    lower.waitForFinished();
    how.photoLike = double(zeros + lowerZeros) < kPhotoZeroShare * double(filteredSize);
    if (how.photoLike)
        return deflatePhoto(filtered, filteredSize, stride, out, room, how);
    if (filteredSize < kDeflateSplitBytes || height < 2) {
        how.level = kDeflateLevel;
        return deflateWhole(how.level, filtered, filteredSize, out, room);
    }
    how.twoBands = true;
    how.level = kBandDeflateLevel;
    return inTwoBands(
        threads, [filtered, split, stride] { return deflateBand(filtered, stride * size_t(split), false); },
        [secondRows, split, height, stride] {
            return deflateBand(secondRows, stride * size_t(height - split), true);
        },
        out, room);
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

QByteArray encodeFastPng(const QImage& image, EPngThreads threads, SPngEncoding* encoding)
{
    SPngEncoding unused;
    SPngEncoding& how = encoding ? *encoding : unused;
    how = {};
    if (image.isNull())
        return {};
    if (keepsQtWriter(image.format()))
        return encodeWithQt(image);

    const SPngRows rows = pngRowsOf(image);
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
    const size_t idatSize = encodeRows(rows, threads, filtered.get(), filteredSize, data, bound, how);
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
