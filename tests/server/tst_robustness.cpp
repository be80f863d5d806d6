// Hostile input and concurrency: refusals stay 4xx JSON, the server stays up, uploads stay whole.

#include "server/png_check.h"
#include "server/store.h"
#include "server_test_support.h"

#include <QFileInfo>
#include <QImage>
#include <QtTest>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <set>

using namespace BL::Test;

namespace {

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

unsigned channelsOf(unsigned colour)
{
    return colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
}

// Random filtered rows of the right layout, every filter type used; Adam7 passes when interlaced.
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

// The verdicts of the whole-buffer and the streaming inflation paths.
std::pair<bool, bool> pngVerdicts(const QByteArray& file, unsigned long long maxPixels = 40000000ULL)
{
    const auto* data = reinterpret_cast<const unsigned char*>(file.constData());
    const auto size = static_cast<std::size_t>(file.size());
    return {BL::Server::isCompletePng(data, size, maxPixels),
            BL::Server::isCompletePng(data, size, maxPixels, 0)};
}

} // namespace

class TestServerRobustness : public QObject
{
    Q_OBJECT

private slots:
    void badInputGetsJsonRefusal_data();
    void badInputGetsJsonRefusal();
    void garbageInEveryFieldIsHarmless();
    void concurrentUploadsAreAllReadable();
    void racingUploadsForOneCodeHaveOneWinner();
    void pngCheckAcceptsEveryValidLayout_data();
    void pngCheckAcceptsEveryValidLayout();
    void pngCheckRefusesBrokenFiles_data();
    void pngCheckRefusesBrokenFiles();

private:
    std::unique_ptr<CTestServer> m_server;

private slots:
    void initTestCase();
    void cleanupTestCase();
};

void TestServerRobustness::initTestCase()
{
    BL::Server::SServiceOptions options;
    options.maxUploadBytes = 1024 * 1024;
    // The concurrency cases run more parallel clients from one address than the default allows.
    options.connections.perAddress = 64;
    options.uploadsPerMinute = 100000;
    m_server = std::make_unique<CTestServer>(options);
}

void TestServerRobustness::cleanupTestCase()
{
    m_server.reset();
}

void TestServerRobustness::badInputGetsJsonRefusal_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray multipart = QByteArray::fromStdString(clientMultipartType());
    const std::string png = makePng(64, 64, 20);
    const std::string jpeg = makeJpeg(64, 64, 21);
    const auto upload = [](const std::string& picture) {
        return QByteArray::fromStdString(clientMultipart(std::string(), std::string(), picture));
    };
    const std::string b = clientBoundary;

    QTest::newRow("not multipart") << "/api/upload.php" << QByteArray("application/x-www-form-urlencoded")
                                   << QByteArray("upload-file=abc") << 400;
    QTest::newRow("multipart without boundary")
        << "/api/upload.php" << QByteArray("multipart/form-data") << upload(png) << 400;
    QTest::newRow("unterminated multipart")
        << "/api/upload.php" << multipart
        << QByteArray::fromStdString("--" + b +
                                     "\r\nContent-Disposition: form-data; name=\"upload-file\"\r\n\r\n" + png)
        << 400;
    QTest::newRow("part without headers")
        << "/api/upload.php" << multipart
        << QByteArray::fromStdString("--" + b + "\r\n\r\nxx\r\n--" + b + "--\r\n") << 400;
    QTest::newRow("missing upload-file")
        << "/api/upload.php" << multipart
        << QByteArray::fromStdString(
               "--" + b + "\r\nContent-Disposition: form-data; name=\"code\"\r\n\r\nabc\r\n--" + b + "--\r\n")
        << 400;
    // Well-formed requests with a refused picture are answered 200, so that the desktop client
    // shows the reason instead of a network error.
    QTest::newRow("empty file") << "/api/upload.php" << multipart << upload(std::string()) << 200;
    QTest::newRow("text file") << "/api/upload.php" << multipart << upload("hello, world") << 200;
    QTest::newRow("png signature only") << "/api/upload.php" << multipart << upload(png.substr(0, 8)) << 200;
    QTest::newRow("truncated png") << "/api/upload.php" << multipart << upload(png.substr(0, png.size() / 2))
                                   << 200;
    std::string corrupted = png;
    corrupted[corrupted.size() / 2] = static_cast<char>(corrupted[corrupted.size() / 2] ^ 0x55);
    QTest::newRow("corrupted png data") << "/api/upload.php" << multipart << upload(corrupted) << 200;
    QTest::newRow("png with bytes after IEND")
        << "/api/upload.php" << multipart << upload(png + "trailing") << 200;
    SPng shortPng = validPng(2, 8, 0, 32, 32);
    shortPng.raw.pop_back();
    QTest::newRow("png with a byte of pixels missing")
        << "/api/upload.php" << multipart << upload(shortPng.file()) << 200;
    QTest::newRow("truncated jpeg") << "/api/upload.php" << multipart
                                    << upload(jpeg.substr(0, jpeg.size() / 2)) << 200;
    QTest::newRow("oversize picture")
        << "/api/upload.php" << multipart << upload(png + std::string(1024 * 1024, '\0')) << 200;
    QTest::newRow("oversize body") << "/api/upload.php" << multipart << QByteArray(3 * 1024 * 1024, 'x')
                                   << 200;
    QTest::newRow("oversize form") << "/api/upload" << QByteArray("application/x-www-form-urlencoded")
                                   << QByteArray("url=http://example.org/?") + QByteArray(20000, 'a') << 200;
    QTest::newRow("url upload without url")
        << "/api/upload" << QByteArray("application/x-www-form-urlencoded") << QByteArray("code=abc") << 400;
    QTest::newRow("check_hash without hash")
        << "/api/check_hash" << QByteArray("application/x-www-form-urlencoded") << QByteArray("uuid=1")
        << 400;
    QTest::newRow("report without dump") << "/report" << multipart
                                         << QByteArray::fromStdString("--" + b +
                                                                      "\r\nContent-Disposition: form-data; "
                                                                      "name=\"ver\"\r\n\r\n1\r\n--" +
                                                                      b + "--\r\n")
                                         << 400;
    QTest::newRow("unknown api path") << "/api/nothing" << QByteArray("text/plain") << QByteArray() << 404;
}

void TestServerRobustness::badInputGetsJsonRefusal()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    auto client = m_server->client();
    auto res = client->post(path.toStdString().c_str(), body.toStdString(), contentType.constData());
    QVERIFY(res);
    QCOMPARE(res->status, status);
    QCOMPARE(QString::fromStdString(res->header("Content-Type")), QStringLiteral("application/json"));
    // The client reads "reason" with a reader that splits on commas and drops quotes.
    const std::string reason = jsonValue(res->body, "reason");
    QVERIFY2(res->body == "{\"status\":\"error\",\"reason\":\"" + reason + "\"}" ||
                 res->body == "{\"exists\":false}",
             res->body.c_str());
    QVERIFY(!reason.empty() || res->body == "{\"exists\":false}");
    QVERIFY(reason.find_first_of(",\"\\{}") == std::string::npos);

    // Still serving.
    QVERIFY(!reserveCode(*client).empty());
}

void TestServerRobustness::garbageInEveryFieldIsHarmless()
{
    auto client = m_server->client();
    std::mt19937 random(1234);
    const std::string png = makePng(16, 16, 22);
    std::string garbage(300, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random() & 0xff);
    garbage += "\",{}\\%00%zz&=";
    const std::string longCode(10000, 'Z');
    for (const std::string& value : {garbage, longCode}) {
        for (const auto& res : {
                 postUpload(*client, value, std::string(), png),
                 postUpload(*client, std::string(), value, png),
                 client->post("/api/check_hash", "hash=" + value + "&uuid=" + value,
                              "application/x-www-form-urlencoded"),
                 client->post("/api/upload", "url=" + value + "&code=" + value,
                              "application/x-www-form-urlencoded"),
                 client->post("/api/upload", "url=http://127.0.0.1/x.png&code=" + value,
                              "application/x-www-form-urlencoded"),
                 submitForm(*client, "/signup", "email=" + value + "&password=" + value),
                 submitForm(*client, "/user/history", "email=" + value + "&password=" + value),
                 client->get("/user/history", {{"Cookie", "bl_session=" + value.substr(0, 4000)}}),
             }) {
            QVERIFY(res);
            QVERIFY2(res->status < 500, std::to_string(res->status).c_str());
        }
        // The garbage hash is ignored: the upload goes through unattached.
        QCOMPARE(postUpload(*client, value, std::string(), png)->status, 200);
    }
}

void TestServerRobustness::concurrentUploadsAreAllReadable()
{
    constexpr int uploads = 50;
    std::vector<std::string> pictures;
    for (int i = 0; i < uploads; ++i)
        pictures.push_back(makePng(48 + i, 40, 100u + static_cast<unsigned>(i)));
    std::vector<std::string> links(uploads);
    std::vector<std::string> errors(uploads);
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (int i = 0; i < uploads; ++i) {
        threads.emplace_back([&, i] {
            // Half reserve a code first, as the client does; the rest let the server pick one. The
            // reservation's connection is closed so that idle keep-alive connections do not hold
            // server threads while all uploads wait for the start.
            const std::string code = i % 2 ? reserveCode(*m_server->client()) : std::string();
            auto client = m_server->client();
            ++ready;
            while (ready.load() < uploads)
                std::this_thread::yield();
            auto res = postUpload(*client, std::string(), code, pictures[i]);
            if (res && res->status == 200) {
                links[i] = jsonValue(res->body, "url");
            } else {
                links[i] = std::string();
                errors[i] = res ? res->body : res.error();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    auto client = m_server->client();
    std::set<std::string> codes;
    for (int i = 0; i < uploads; ++i) {
        QVERIFY2(
            !links[i].empty(),
            qPrintable(QStringLiteral("upload %1 failed: %2").arg(i).arg(QString::fromStdString(errors[i]))));
        const std::string code = codeOfUrl(links[i]);
        codes.insert(code);
        auto picture = client->get(("/" + code + ".png").c_str());
        QVERIFY(picture);
        QVERIFY2(picture->body == pictures[i], qPrintable(QStringLiteral("picture %1 differs").arg(i)));
    }
    QCOMPARE(static_cast<int>(codes.size()), uploads);
}

void TestServerRobustness::racingUploadsForOneCodeHaveOneWinner()
{
    auto setup = m_server->client();
    const SReserved reserved = reserve(*setup);
    const std::string& code = reserved.code;
    constexpr int racers = 8;
    std::vector<std::string> statuses(racers);
    std::vector<std::string> pictures;
    for (int i = 0; i < racers; ++i)
        pictures.push_back(makePng(20, 20, 300u + static_cast<unsigned>(i)));
    std::vector<std::thread> threads;
    for (int i = 0; i < racers; ++i) {
        threads.emplace_back([&, i] {
            auto client = m_server->client();
            auto res = postUpload(*client, std::string(), reserved.secret, pictures[i]);
            statuses[i] = !res ? "no reply" : res->status != 200 ? std::to_string(res->status) : res->body;
        });
    }
    for (auto& thread : threads)
        thread.join();
    const auto won = [](const std::string& reply) { return jsonValue(reply, "status") == "ok"; };
    QCOMPARE(static_cast<int>(std::count_if(statuses.begin(), statuses.end(), won)), 1);
    const std::string used = R"({"status":"error","reason":"code already used"})";
    QCOMPARE(static_cast<int>(std::count(statuses.begin(), statuses.end(), used)), racers - 1);
    const int winner =
        static_cast<int>(std::find_if(statuses.begin(), statuses.end(), won) - statuses.begin());
    QVERIFY(setup->get(("/" + code + ".png").c_str())->body == pictures[winner]);

    // The losers' files were removed again: every stored file is named by a row.
    BL::Server::CStore& store = m_server->service().store();
    const auto referenced = store.referencedFiles();
    const QDir dir(m_server->dataDir() + "/pictures");
    QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden).size(), static_cast<int>(referenced.size()));
}

void TestServerRobustness::pngCheckAcceptsEveryValidLayout_data()
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

void TestServerRobustness::pngCheckAcceptsEveryValidLayout()
{
    QFETCH(QByteArray, file);
    // The file really is a readable PNG, so a refusal below is the check's fault.
    QVERIFY(!QImage::fromData(file, "PNG").isNull());
    const auto verdicts = pngVerdicts(file);
    QVERIFY2(verdicts.first, "whole-buffer check");
    QVERIFY2(verdicts.second, "streaming check");
}

void TestServerRobustness::pngCheckRefusesBrokenFiles_data()
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

void TestServerRobustness::pngCheckRefusesBrokenFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(qulonglong, maxPixels);
    const auto verdicts = pngVerdicts(file, maxPixels);
    QVERIFY2(!verdicts.first, "whole-buffer check");
    QVERIFY2(!verdicts.second, "streaming check");
}

QTEST_GUILESS_MAIN(TestServerRobustness)
#include "tst_robustness.moc"
