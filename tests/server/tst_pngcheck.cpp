// The server's PNG check: every valid layout passes, every broken file is refused, by the
// whole-buffer and the streaming inflation paths alike.

#include "pngbuilder.h"
#include "server/png_check.h"
#include "server_test_support.h"

#include <QImage>
#include <QtTest>
#include <cstdint>

using namespace BL::Test;

namespace {

// The verdicts of the whole-buffer and the streaming inflation paths.
std::pair<bool, bool> pngVerdicts(const QByteArray& file, unsigned long long maxPixels = 40000000ULL)
{
    const auto* data = reinterpret_cast<const unsigned char*>(file.constData());
    const auto size = static_cast<std::size_t>(file.size());
    return {BL::Server::isCompletePng(data, size, maxPixels),
            BL::Server::isCompletePng(data, size, maxPixels, 0)};
}

} // namespace

class TestPngCheck : public QObject
{
    Q_OBJECT

private slots:
    void pngCheckAcceptsEveryValidLayout_data();
    void pngCheckAcceptsEveryValidLayout();
    void pngCheckRefusesBrokenFiles_data();
    void pngCheckRefusesBrokenFiles();
};

void TestPngCheck::pngCheckAcceptsEveryValidLayout_data()
{
    QTest::addColumn<QByteArray>("file");
    const auto add = [](const char* name, const SPng& png) {
        QTest::newRow(name) << QByteArray::fromStdString(png.file());
    };
    for (unsigned interlace = 0; interlace < 2; ++interlace) {
        const std::string suffix = interlace ? " adam7" : "";
        const struct
        {
            unsigned colour, depth;
        } kinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                     {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
        for (const auto& kind : kinds) {
            const std::string name =
                "colour " + std::to_string(kind.colour) + " depth " + std::to_string(kind.depth) + suffix;
            add(name.c_str(), validPng(kind.colour, kind.depth, interlace, 13, 9));
        }
        // Sizes where some Adam7 passes are empty.
        add(("1x1" + suffix).c_str(), validPng(2, 8, interlace, 1, 1));
        add(("3x2" + suffix).c_str(), validPng(0, 1, interlace, 3, 2));
        add(("1x17" + suffix).c_str(), validPng(6, 8, interlace, 1, 17));
    }
    SPng split = validPng(2, 8, 0, 40, 30);
    split.idatPieces = 9;
    add("stream over many IDAT chunks", split);
    SPng annotated = validPng(6, 8, 0, 20, 20);
    annotated.beforeData =
        pngChunk("tEXt", std::string("Title\0shot", 10)) + pngChunk("pHYs", std::string(9, 1));
    annotated.afterData = pngChunk("tIME", std::string(7, 1));
    add("ancillary chunks around the data", annotated);
    SPng emptyTail = validPng(2, 8, 0, 8, 8);
    emptyTail.afterData = pngChunk("IDAT", std::string());
    add("empty IDAT after the stream", emptyTail);
    QTest::newRow("encoder output") << QByteArray::fromStdString(makePng(300, 200, 5));
    // Rows of several MiB are inflated into memory of another kind than small ones.
    add("full screen", validPng(6, 8, 0, 1920, 1080));
}

void TestPngCheck::pngCheckAcceptsEveryValidLayout()
{
    QFETCH(QByteArray, file);
    // The file really is a readable PNG, so a refusal below is the check's fault.
    QVERIFY(!QImage::fromData(file, "PNG").isNull());
    const auto verdicts = pngVerdicts(file);
    QVERIFY2(verdicts.first, "whole-buffer check");
    QVERIFY2(verdicts.second, "streaming check");
}

void TestPngCheck::pngCheckRefusesBrokenFiles_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qulonglong>("maxPixels");
    const auto add = [](const char* name, const std::string& file, qulonglong maxPixels = 40000000ULL) {
        QTest::newRow(name) << QByteArray::fromStdString(file) << maxPixels;
    };
    const SPng base = validPng(2, 8, 0, 13, 9);
    const std::string good = base.file();
    const std::size_t firstData = good.find("IDAT") - 4;
    const std::size_t dataLength = base.dataChunks().size() - 12;

    add("signature only", good.substr(0, 8));
    add("cut inside IHDR", good.substr(0, 20));
    add("cut inside IDAT", good.substr(0, firstData + 8 + dataLength / 2));
    add("cut before the IDAT CRC", good.substr(0, firstData + 8 + dataLength));
    add("cut inside IEND", good.substr(0, good.size() - 3));
    SPng noEnd = base;
    noEnd.withEnd = false;
    add("no IEND", noEnd.file());
    SPng trailing = base;
    trailing.trailer = "garbage";
    add("bytes after IEND", trailing.file());
    SPng endTwice = base;
    endTwice.trailer = pngChunk("IEND", std::string());
    add("second IEND", endTwice.file());

    std::string badCrc = good;
    badCrc[firstData + 8 + dataLength + 3] = static_cast<char>(badCrc[firstData + 8 + dataLength + 3] ^ 1);
    add("bad IDAT CRC", badCrc);
    std::string badHeaderCrc = good;
    badHeaderCrc[8 + 8 + 13] = static_cast<char>(badHeaderCrc[8 + 8 + 13] ^ 0x80);
    add("bad IHDR CRC", badHeaderCrc);
    std::string flipped = good;
    flipped[firstData + 8 + dataLength / 2] =
        static_cast<char>(flipped[firstData + 8 + dataLength / 2] ^ 0x10);
    add("flipped data byte", flipped);
    SPng badText = base;
    badText.beforeData = pngChunk("tEXt", std::string("a\0b", 3));
    badText.beforeData[badText.beforeData.size() - 1] ^= 1;
    add("bad ancillary CRC", badText.file());

    // Broken streams whose chunk CRCs are right.
    SPng badAdler = base;
    badAdler.stream = zlibStream(base.raw);
    badAdler.stream.back() = static_cast<char>(badAdler.stream.back() ^ 1);
    add("bad zlib checksum", badAdler.file());
    SPng badDeflate = base;
    badDeflate.stream = zlibStream(base.raw);
    badDeflate.stream[2] = static_cast<char>(0xff); // reserved block type
    add("invalid deflate block", badDeflate.file());
    SPng badZlibHeader = base;
    badZlibHeader.stream = zlibStream(base.raw);
    badZlibHeader.stream[0] = static_cast<char>(0x79); // method 9
    add("bad zlib header", badZlibHeader.file());
    SPng cutStream = base;
    cutStream.stream = zlibStream(base.raw);
    cutStream.stream.resize(cutStream.stream.size() / 2);
    add("stream cut short", cutStream.file());
    SPng tailInStream = base;
    tailInStream.stream = zlibStream(base.raw) + "xyz";
    add("bytes after the zlib stream", tailInStream.file());
    SPng tailChunk = base;
    tailChunk.afterData = pngChunk("IDAT", "xyz");
    add("IDAT after the zlib stream", tailChunk.file());

    // Streams that inflate cleanly to the wrong rows.
    SPng shortRows = base;
    shortRows.raw.pop_back();
    add("one byte too few", shortRows.file());
    SPng longRows = base;
    longRows.raw += '\0';
    add("one byte too many", longRows.file());
    SPng missingRow = base;
    missingRow.raw.resize(missingRow.raw.size() - (1 + 13 * 3));
    add("one row too few", missingRow.file());
    SPng badFilter = base;
    badFilter.raw[4 * (1 + 13 * 3)] = 5;
    add("filter type 5", badFilter.file());
    SPng screen = validPng(6, 8, 0, 1920, 1080);
    SPng screenLong = screen;
    screenLong.raw += '\0';
    add("full screen, one byte too many", screenLong.file());
    SPng screenFilter = screen;
    screenFilter.raw[screenFilter.raw.size() - (1 + 1920 * 4)] = 7;
    add("full screen, bad filter in the last row", screenFilter.file());
    SPng badLastFilter = validPng(0, 8, 1, 13, 9);
    const std::size_t lastPassRow = badLastFilter.raw.size() - (1 + 13);
    badLastFilter.raw[lastPassRow] = static_cast<char>(0x80);
    add("bad filter in the last Adam7 pass", badLastFilter.file());
    SPng notInterlaced = validPng(0, 8, 1, 13, 9);
    notInterlaced.interlace = 0;
    add("Adam7 rows under a plain header", notInterlaced.file());

    // Chunk structure.
    add("IDAT first", "\x89PNG\r\n\x1a\n" + base.dataChunks() + pngChunk("IHDR", base.header()) +
                          pngChunk("IEND", std::string()));
    SPng headerTwice = base;
    headerTwice.beforeData = pngChunk("IHDR", base.header());
    add("second IHDR", headerTwice.file());
    SPng noPalette = validPng(3, 4, 0, 13, 9);
    std::string noPaletteFile = noPalette.file();
    const std::size_t plte = noPaletteFile.find("PLTE") - 4;
    noPaletteFile.erase(plte, 12 + (1u << 4) * 3);
    add("palette image without PLTE", noPaletteFile);
    SPng lateAnnotation = base;
    lateAnnotation.idatPieces = 2;
    std::string split = lateAnnotation.file();
    const std::size_t secondData = split.find("IDAT", split.find("IDAT") + 4) - 4;
    split.insert(secondData, pngChunk("tEXt", std::string("a\0b", 3)));
    add("chunk between IDATs", split);
    SPng paletteAfter = validPng(3, 8, 0, 13, 9);
    paletteAfter.afterData = paletteAfter.palette();
    add("PLTE after IDAT", paletteAfter.file());
    SPng greyPalette = base;
    greyPalette.colour = 0;
    greyPalette.raw = randomRows(greyPalette, 1);
    greyPalette.beforeData = pngChunk("PLTE", std::string(6, 'p'));
    add("PLTE in a grey image", greyPalette.file());
    SPng unknownCritical = base;
    unknownCritical.beforeData = pngChunk("ZZZZ", "x");
    add("unknown critical chunk", unknownCritical.file());
    SPng oddName = base;
    oddName.beforeData = pngChunk("t3Xt", "x");
    add("chunk name with a digit", oddName.file());
    SPng endWithBody = base;
    endWithBody.withEnd = false;
    endWithBody.trailer = pngChunk("IEND", "x");
    add("IEND with a body", endWithBody.file());
    std::string noDataFile =
        "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", base.header()) + pngChunk("IEND", std::string());
    add("no IDAT", noDataFile);
    std::string hugeLength = good;
    hugeLength.replace(firstData, 4, bigEndian(0x7ffffff0u));
    add("chunk longer than the file", hugeLength);

    // Header fields.
    const auto withHeader = [&base](unsigned width, unsigned height, unsigned depth, unsigned colour,
                                    unsigned interlace) {
        SPng png = base;
        png.width = width;
        png.height = height;
        png.depth = depth;
        png.colour = colour;
        png.interlace = interlace;
        return png.file();
    };
    add("zero width", withHeader(0, 9, 8, 2, 0));
    add("zero height", withHeader(13, 0, 8, 2, 0));
    add("depth 3", withHeader(13, 9, 3, 0, 0));
    add("16-bit palette", withHeader(13, 9, 16, 3, 0));
    add("4-bit RGB", withHeader(13, 9, 4, 2, 0));
    add("colour type 5", withHeader(13, 9, 8, 5, 0));
    add("interlace method 2", withHeader(13, 9, 8, 2, 2));
    std::string compression = good;
    compression[8 + 8 + 10] = 1;
    compression.replace(8 + 8 + 13, 4, bigEndian(crc32Of(compression.substr(8 + 4, 4 + 13))));
    add("compression method 1", compression);
    add("more pixels than allowed", good, 13 * 9 - 1);
}

void TestPngCheck::pngCheckRefusesBrokenFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(qulonglong, maxPixels);
    const auto verdicts = pngVerdicts(file, maxPixels);
    QVERIFY2(!verdicts.first, "whole-buffer check");
    QVERIFY2(!verdicts.second, "streaming check");
}

QTEST_GUILESS_MAIN(TestPngCheck)
#include "tst_pngcheck.moc"
