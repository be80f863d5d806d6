#include "server/png_check.h"

#include "platform/largebuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libdeflate.h>
#include <memory>
#include <new>
#include <string>
#include <vector>
#include <zlib.h>

namespace BL::Server {

namespace {

const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

std::uint32_t bigEndian32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

bool isChunkType(const unsigned char* type, const char* name)
{
    return std::memcmp(type, name, 4) == 0;
}

struct SHeader
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    unsigned depth = 0;
    unsigned colour = 0;
    bool interlaced = false;
};

bool parseHeader(const unsigned char* p, unsigned long long maxPixels, SHeader* header)
{
    header->width = bigEndian32(p);
    header->height = bigEndian32(p + 4);
    header->depth = p[8];
    header->colour = p[9];
    const unsigned compression = p[10], filter = p[11], interlace = p[12];
    header->interlaced = interlace == 1;
    if (header->width == 0 || header->height == 0 || header->width > 0x7fffffffu ||
        header->height > 0x7fffffffu ||
        static_cast<unsigned long long>(header->width) * header->height > maxPixels)
        return false;
    if (compression != 0 || filter != 0 || interlace > 1)
        return false;
    const unsigned d = header->depth;
    switch (header->colour) {
    case 0:
        return d == 1 || d == 2 || d == 4 || d == 8 || d == 16;
    case 3:
        return d == 1 || d == 2 || d == 4 || d == 8;
    case 2:
    case 4:
    case 6:
        return d == 8 || d == 16;
    default:
        return false;
    }
}

unsigned channelCount(unsigned colour)
{
    switch (colour) {
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 1;
    }
}

// A run of `count` filtered rows of `stride` bytes each, the filter type byte included.
struct SRowRun
{
    std::uint64_t count;
    std::uint64_t stride;
};

std::vector<SRowRun> rowLayout(const SHeader& header)
{
    const std::uint64_t bitsPerPixel = std::uint64_t(header.depth) * channelCount(header.colour);
    const auto stride = [bitsPerPixel](std::uint64_t width) { return 1 + (width * bitsPerPixel + 7) / 8; };
    std::vector<SRowRun> runs;
    if (!header.interlaced) {
        runs.push_back({header.height, stride(header.width)});
        return runs;
    }
    // Adam7: passes with no columns or no rows carry no bytes at all, not even filter bytes.
    static const unsigned xStart[7] = {0, 4, 0, 2, 0, 1, 0}, xStep[7] = {8, 8, 4, 4, 2, 2, 1};
    static const unsigned yStart[7] = {0, 0, 4, 0, 2, 0, 1}, yStep[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int pass = 0; pass < 7; ++pass) {
        const std::uint64_t columns =
            header.width > xStart[pass] ? (header.width - xStart[pass] + xStep[pass] - 1) / xStep[pass] : 0;
        const std::uint64_t rows =
            header.height > yStart[pass] ? (header.height - yStart[pass] + yStep[pass] - 1) / yStep[pass] : 0;
        if (columns > 0 && rows > 0)
            runs.push_back({rows, stride(columns)});
    }
    return runs;
}

// Follows the inflated bytes through the row layout, checking each row's filter type.
class CRowChecker
{
public:
    explicit CRowChecker(std::vector<SRowRun> layout) : m_runs(std::move(layout)) {}

    // False on a filter type outside 0..4 or on bytes beyond the last row.
    bool consume(const unsigned char* p, std::size_t n)
    {
        while (n > 0) {
            if (m_run == m_runs.size())
                return false;
            if (m_inRow == 0 && *p > 4)
                return false;
            const std::uint64_t take = std::min<std::uint64_t>(n, m_runs[m_run].stride - m_inRow);
            p += take;
            n -= static_cast<std::size_t>(take);
            m_inRow += take;
            if (m_inRow == m_runs[m_run].stride) {
                m_inRow = 0;
                if (++m_row == m_runs[m_run].count) {
                    m_row = 0;
                    ++m_run;
                }
            }
        }
        return true;
    }
    bool complete() const { return m_run == m_runs.size(); }

private:
    std::vector<SRowRun> m_runs;
    std::size_t m_run = 0;
    std::uint64_t m_row = 0;
    std::uint64_t m_inRow = 0;
};

struct SDecompressorFree
{
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

struct SDataPart
{
    const unsigned char* data;
    std::size_t size;
};

bool inflateWhole(const std::vector<SDataPart>& parts, std::uint64_t expected, CRowChecker& rows)
{
    thread_local std::unique_ptr<libdeflate_decompressor, SDecompressorFree> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor)
        return false;
    // The stream must be contiguous; a lone IDAT is used where it lies.
    std::string joined;
    const unsigned char* in = parts.front().data;
    std::size_t inSize = parts.front().size;
    if (parts.size() > 1) {
        std::size_t total = 0;
        for (const SDataPart& part : parts)
            total += part.size;
        joined.reserve(total);
        for (const SDataPart& part : parts)
            joined.append(reinterpret_cast<const char*>(part.data), part.size);
        in = reinterpret_cast<const unsigned char*>(joined.data());
        inSize = joined.size();
    }
    // Some 8 MiB for a full screen, written once and dropped: in huge pages where the system
    // offers them, the first writes cost a handful of page faults instead of two thousand.
    const BL::Platform::LargeBuffer out =
        BL::Platform::allocateLargeBuffer(static_cast<std::size_t>(expected));
    if (!out)
        return false;
    std::size_t usedIn = 0, produced = 0;
    // Room for exactly the expected bytes: more data is refused as insufficient space.
    const libdeflate_result result = libdeflate_zlib_decompress_ex(
        decompressor.get(), in, inSize, out.get(), static_cast<std::size_t>(expected), &usedIn, &produced);
    return result == LIBDEFLATE_SUCCESS && usedIn == inSize && produced == expected &&
           rows.consume(out.get(), produced) && rows.complete();
}

bool inflateStreaming(const std::vector<SDataPart>& parts, CRowChecker& rows)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK)
        return false;
    std::vector<unsigned char> buffer(256 * 1024);
    bool ended = false, ok = true;
    for (const SDataPart& part : parts) {
        if (ended) {
            // Empty IDAT chunks after the end of the stream are harmless; data is not.
            ok = part.size == 0;
            if (!ok)
                break;
            continue;
        }
        stream.next_in = const_cast<unsigned char*>(part.data);
        stream.avail_in = static_cast<uInt>(part.size);
        for (;;) {
            stream.next_out = buffer.data();
            stream.avail_out = static_cast<uInt>(buffer.size());
            const int result = inflate(&stream, Z_NO_FLUSH);
            if (!rows.consume(buffer.data(), buffer.size() - stream.avail_out)) {
                ok = false;
                break;
            }
            if (result == Z_STREAM_END) {
                ended = true;
                ok = stream.avail_in == 0;
                break;
            }
            if (result == Z_OK && (stream.avail_in > 0 || stream.avail_out == 0))
                continue;
            // Input used up: go on with the next IDAT; anything else is a broken stream.
            ok = (result == Z_OK || result == Z_BUF_ERROR) && stream.avail_in == 0;
            break;
        }
    }
    inflateEnd(&stream);
    return ok && ended && rows.complete();
}

} // namespace

bool isCompletePng(const unsigned char* data, std::size_t size, unsigned long long maxPixels,
                   std::size_t wholeBufferLimit)
{
    if (size < sizeof signature || std::memcmp(data, signature, sizeof signature) != 0)
        return false;
    SHeader header;
    bool seenHeader = false, seenPalette = false, seenEnd = false;
    bool inData = false, dataEnded = false;
    std::vector<SDataPart> parts;
    std::size_t pos = sizeof signature;
    while (pos < size && !seenEnd) {
        if (size - pos < 12)
            return false;
        const unsigned char* chunk = data + pos;
        const std::uint32_t length = bigEndian32(chunk);
        if (length > 0x7fffffffu || length > size - pos - 12)
            return false;
        const unsigned char* type = chunk + 4;
        const unsigned char* body = chunk + 8;
        for (int i = 0; i < 4; ++i) {
            const unsigned char c = type[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                return false;
        }
        // libdeflate's CRC is several times faster than zlib's.
        const std::uint32_t crc = libdeflate_crc32(0, type, std::size_t(length) + 4);
        if (crc != bigEndian32(body + length))
            return false;
        pos += 12 + std::size_t(length);
        const bool isData = isChunkType(type, "IDAT");
        if (inData && !isData)
            dataEnded = true;
        if (!seenHeader) {
            if (!isChunkType(type, "IHDR") || length != 13 || !parseHeader(body, maxPixels, &header))
                return false;
            seenHeader = true;
        } else if (isData) {
            // The image data must be one unbroken run of IDAT chunks.
            if (dataEnded)
                return false;
            inData = true;
            parts.push_back({body, length});
        } else if (isChunkType(type, "IEND")) {
            seenEnd = length == 0;
            if (!seenEnd)
                return false;
        } else if (isChunkType(type, "PLTE")) {
            if (seenPalette || inData || (header.colour != 2 && header.colour != 3 && header.colour != 6) ||
                length == 0 || length % 3 != 0 || length / 3 > 256)
                return false;
            seenPalette = true;
        } else if ((type[0] & 0x20) == 0) {
            // A critical chunk a decoder does not know (or a second IHDR) makes the file unreadable.
            return false;
        }
    }
    // Trailing bytes after IEND are refused: the upload is not the file it claims to be.
    if (!seenEnd || pos != size || parts.empty() || (header.colour == 3 && !seenPalette))
        return false;
    const std::vector<SRowRun> layout = rowLayout(header);
    std::uint64_t expected = 0;
    for (const SRowRun& run : layout)
        expected += run.count * run.stride;
    CRowChecker rows(layout);
    return expected <= wholeBufferLimit ? inflateWhole(parts, expected, rows) : inflateStreaming(parts, rows);
}

} // namespace BL::Server
