#pragma once

// PNG files built chunk by chunk for the server tests, each part editable before assembly, so a
// test can break exactly one thing in an otherwise valid file.

#include <cstddef>
#include <cstdint>
#include <string>

namespace BL::Test {

std::uint32_t crc32Of(const std::string& bytes);
std::string bigEndian(std::uint32_t value);
// A whole chunk: length, type, body and CRC.
std::string pngChunk(const std::string& type, const std::string& body);
// A plain zlib stream of `raw`.
std::string zlibStream(const std::string& raw);

// The parts of a PNG file, each one editable before assembly.
struct SPng
{
    unsigned width = 13;
    unsigned height = 9;
    unsigned depth = 8;
    unsigned colour = 2;
    unsigned interlace = 0;
    std::string raw;            // filtered rows, filter bytes included
    std::string stream;         // the zlib stream; empty: compressed from raw
    std::size_t idatPieces = 1; // the stream cut into this many IDAT chunks
    std::string beforeData;     // whole chunks between IHDR (and PLTE) and the first IDAT
    std::string afterData = ""; // whole chunks between the last IDAT and IEND
    std::string trailer;        // bytes after IEND
    bool withEnd = true;

    std::string header() const
    {
        return bigEndian(width) + bigEndian(height) + static_cast<char>(depth) + static_cast<char>(colour) +
               std::string(2, '\0') + static_cast<char>(interlace);
    }
    std::string palette() const
    {
        if (colour != 3)
            return {};
        std::string entries;
        for (unsigned i = 0; i < (1u << depth); ++i) {
            entries +=
                std::string{static_cast<char>(i), static_cast<char>(255 - i), static_cast<char>(i * 7)};
        }
        return pngChunk("PLTE", entries);
    }
    std::string dataChunks() const
    {
        const std::string z = stream.empty() ? zlibStream(raw) : stream;
        std::string chunks;
        const std::size_t piece = (z.size() + idatPieces - 1) / idatPieces;
        for (std::size_t at = 0; at < z.size(); at += piece)
            chunks += pngChunk("IDAT", z.substr(at, piece));
        return chunks;
    }
    std::string file() const
    {
        return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header()) + palette() + beforeData + dataChunks() +
               afterData + (withEnd ? pngChunk("IEND", std::string()) : std::string()) + trailer;
    }
};

// Random filtered rows of the right layout, every filter type used; Adam7 passes when interlaced.
std::string randomRows(const SPng& png, unsigned seed);
// A valid file of this layout with random rows.
SPng validPng(unsigned colour, unsigned depth, unsigned interlace, unsigned width, unsigned height);

} // namespace BL::Test
