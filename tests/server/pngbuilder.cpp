#include "pngbuilder.h"

#include <QByteArray>
#include <random>
#include <utility>
#include <vector>

namespace BL::Test {

namespace {

unsigned channelsOf(unsigned colour)
{
    return colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
}

} // namespace

std::uint32_t crc32Of(const std::string& bytes)
{
    std::uint32_t crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string bigEndian(std::uint32_t value)
{
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& body)
{
    return bigEndian(static_cast<std::uint32_t>(body.size())) + type + body + bigEndian(crc32Of(type + body));
}

std::string zlibStream(const std::string& raw)
{
    // qCompress puts the uncompressed length in front of a plain zlib stream.
    return qCompress(QByteArray::fromStdString(raw)).mid(4).toStdString();
}

std::string randomRows(const SPng& png, unsigned seed)
{
    std::mt19937 random(seed);
    const unsigned bits = png.depth * channelsOf(png.colour);
    std::vector<std::pair<unsigned, unsigned>> passes; // columns, rows
    if (png.interlace == 0) {
        passes.emplace_back(png.width, png.height);
    } else {
        const unsigned xs[7] = {0, 4, 0, 2, 0, 1, 0}, dx[7] = {8, 8, 4, 4, 2, 2, 1};
        const unsigned ys[7] = {0, 0, 4, 0, 2, 0, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
        for (int p = 0; p < 7; ++p) {
            const unsigned columns = png.width > xs[p] ? (png.width - xs[p] + dx[p] - 1) / dx[p] : 0;
            const unsigned rows = png.height > ys[p] ? (png.height - ys[p] + dy[p] - 1) / dy[p] : 0;
            if (columns && rows)
                passes.emplace_back(columns, rows);
        }
    }
    std::string raw;
    unsigned row = 0;
    for (const auto& pass : passes) {
        for (unsigned y = 0; y < pass.second; ++y, ++row) {
            raw += static_cast<char>(row % 5);
            const unsigned bytes = (pass.first * bits + 7) / 8;
            for (unsigned x = 0; x < bytes; ++x) {
                // Palette indices stay inside the palette whatever the depth.
                raw +=
                    static_cast<char>(png.colour == 3 && png.depth == 8 ? random() % 256 : random() & 0xff);
            }
        }
    }
    return raw;
}

SPng validPng(unsigned colour, unsigned depth, unsigned interlace, unsigned width, unsigned height)
{
    SPng png;
    png.colour = colour;
    png.depth = depth;
    png.interlace = interlace;
    png.width = width;
    png.height = height;
    png.raw = randomRows(png, width * 31 + height * 7 + depth + colour);
    return png;
}

} // namespace BL::Test
