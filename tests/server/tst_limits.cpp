// The real brightloom-server binary against hostile clients: bodies it cannot bound, oversize
// headers, and clients that trickle a byte now and then.

#include "server/http_server.h"
#include "server_process.h"
#include "server_test_support.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using namespace BL::Test;

namespace {

// Sends `head`, then `body` pieces from `next` until it returns empty, the peer stops taking them
// or `limit` bytes went out; returns the reply and the number of body bytes sent.
std::pair<std::string, std::size_t> stream(int fd, const std::string& head,
                                           const std::function<std::string()>& next, std::size_t limit)
{
    std::size_t sent = 0;
    if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
        while (sent < limit) {
            const std::string piece = next();
            if (piece.empty() ||
                ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
                break;
            sent += piece.size();
        }
    }
    ::shutdown(fd, SHUT_WR);
    return {readAll(fd), sent};
}

// 1 GiB of zeros, deflated into a gzip stream (about 1 MiB).
std::string gzipBomb()
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> zeros(1 << 20, 0);
    std::vector<unsigned char> out(1 << 16);
    std::string result;
    for (int i = 0; i < 1024; ++i) {
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(zeros.size());
        const int flush = i == 1023 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, flush);
            result.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return result;
}

std::string postHead(const std::string& path, const std::string& extra)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + clientMultipartType() +
           "\r\n" + extra + "\r\n";
}

} // namespace

class TestServerLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unboundedBodiesAreRefusedBeforeReading();
    void oversizeHeadersAreRefused();
    void tricklingClientsDoNotDelayAReservation();
    void hostileJpegsAreRefusedQuickly();
    void diskQuotaRefusesOnceFull();
    void uploadsAndFetchesAreLimitedPerAddress();
    void picturesAreStreamedToSlowReaders();
};

void TestServerLimits::initTestCase()
{
    ::signal(SIGPIPE, SIG_IGN);
}

void TestServerLimits::unboundedBodiesAreRefusedBeforeReading()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet", "--max-upload-mb", "1"});
    QVERIFY(server.port > 0);
    const long before = server.residentKiB();

    // 200 MiB in chunks: the service never learns a length, so it must not start reading.
    const std::string chunk = "100000\r\n" + std::string(1 << 20, 'x') + "\r\n";
    int chunks = 0;
    int fd = connectFrom("127.0.0.1", server.port);
    QVERIFY(fd >= 0);
    const auto chunked = stream(
        fd, postHead("/api/upload.php", "Transfer-Encoding: chunked\r\n"),
        [&] { return ++chunks <= 200 ? chunk : std::string("0\r\n\r\n"); }, 201u << 20);
    ::close(fd);
    const auto chunkedReply = splitReply(chunked.first);
    qInfo("chunked: %zu MiB sent before the service stopped reading, reply %d %s", chunked.second >> 20,
          chunkedReply.first, chunkedReply.second.c_str());
    // The refusal may be lost to the reset of the unread body; what must not happen is reading it.
    QVERIFY(chunkedReply.first == 411 || chunkedReply.first == 0);
    QVERIFY2(chunked.second < (64u << 20), std::to_string(chunked.second).c_str());

    // A small body the HTTP layer would inflate to 1 GiB.
    const std::string bomb = gzipBomb();
    fd = connectFrom("127.0.0.1", server.port);
    QVERIFY(fd >= 0);
    bool once = false;
    const auto inflated = stream(
        fd,
        postHead("/api/upload.php",
                 "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) + "\r\n"),
        [&] { return std::exchange(once, true) ? std::string() : bomb; }, bomb.size());
    ::close(fd);
    const auto inflatedReply = splitReply(inflated.first);
    qInfo("gzip body of %zu KiB (1 GiB inflated): reply %d %s", bomb.size() >> 10, inflatedReply.first,
          inflatedReply.second.c_str());
    QVERIFY(inflatedReply.first == 415 || inflatedReply.first == 0);

    // Still serving, and its memory figure for the record.
    auto client = loopbackClient(server.port);
    QVERIFY(!reserveCode(*client).empty());
    qInfo("resident memory: %ld KiB before, %ld KiB after (upload cap 1 MiB)", before, server.residentKiB());
    const std::string log = server.logText();
    QVERIFY2(log.find("error") == std::string::npos, log.c_str());
}

void TestServerLimits::oversizeHeadersAreRefused()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet", "--request-timeout", "2"});
    QVERIFY(server.port > 0);

    std::string many = "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 200; ++i)
        many += "X-Filler-" + std::to_string(i) + ": 1\r\n";
    QCOMPARE(postFrom("127.0.0.1", server.port, "/api/reserve_code", std::string()).first, 200);
    for (const std::string& request : {many + "\r\n", "POST /api/reserve_code HTTP/1.1\r\nX-Big: " +
                                                          std::string(20000, 'a') + "\r\n\r\n"}) {
        const int fd = connectFrom("127.0.0.1", server.port);
        QVERIFY(fd >= 0);
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        const auto reply = splitReply(readAll(fd));
        ::close(fd);
        QCOMPARE(reply.first, 431);
    }

    // A header block that never ends is answered when its deadline passes, not held forever.
    const int fd = connectFrom("127.0.0.1", server.port, 20000);
    QVERIFY(fd >= 0);
    std::atomic<bool> done{false};
    std::thread trickler([&] {
        const std::string head = "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        for (int i = 0; i < 40 && !done; ++i) {
            ::send(fd, "a", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    const auto reply = splitReply(readAll(fd));
    done = true;
    trickler.join();
    ::close(fd);
    QCOMPARE(reply.first, 408);
}

void TestServerLimits::tricklingClientsDoNotDelayAReservation()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet"});
    QVERIFY(server.port > 0);

    // 100 clients from one other address, each sending a byte of its request every 2 s.
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::vector<int> sockets;
    for (int i = 0; i < 100; ++i) {
        const int fd = connectFrom("127.0.0.2", server.port, 1000);
        QVERIFY(fd >= 0);
        sockets.push_back(fd);
    }
    std::thread trickler([&] {
        const std::string request = "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        for (std::size_t at = 0; at + 4 < request.size() && !stop; ++at) {
            for (int fd : sockets)
                ::send(fd, request.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ++rounds;
            // The clients' own pace, the slowness under test.
            for (int i = 0; i < 20 && !stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Every one of them has begun its request.
    QTRY_VERIFY_WITH_TIMEOUT(rounds > 0, 10000);

    QElapsedTimer timer;
    timer.start();
    const int fd = connectFrom("127.0.0.1", server.port, 5000);
    QVERIFY(fd >= 0);
    const std::string request = "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                                "0\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const auto reply = splitReply(readAll(fd));
    const qint64 elapsed = timer.elapsed();
    ::close(fd);
    stop = true;
    trickler.join();
    for (int socket : sockets)
        ::close(socket);
    qInfo("reservation beside 100 trickling clients answered in %lld ms", static_cast<long long>(elapsed));
    QCOMPARE(reply.first, 200);
    QCOMPARE(QString::fromStdString(jsonValue(reply.second, "status")), QStringLiteral("ok"));
}

void TestServerLimits::hostileJpegsAreRefusedQuickly()
{
    // A small progressive picture whose scans are repeated thousands of times.
    QImage small(64, 64, QImage::Format_RGB32);
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x)
            small.setPixel(x, y, qRgb(x * 4, y * 4, (x * y) % 256));
    const auto progressive = [](const QImage& image) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setProgressiveScanWrite(true);
        writer.write(image);
        return bytes.toStdString();
    };
    const std::string base = progressive(small);
    const std::size_t firstScan = base.find("\xff\xda");
    const std::size_t end = base.rfind("\xff\xd9");
    QVERIFY(firstScan != std::string::npos && end != std::string::npos && firstScan < end);
    std::string manyScans = base.substr(0, end);
    for (int i = 0; i < 3000 && manyScans.size() < 900 * 1024; ++i)
        manyScans += base.substr(firstScan, end - firstScan);
    manyScans += "\xff\xd9";

    // 40 megapixels, progressive: every coefficient would be held at once.
    QImage huge(8000, 5000, QImage::Format_RGB32);
    for (int y = 0; y < huge.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(huge.scanLine(y));
        for (int x = 0; x < huge.width(); ++x)
            line[x] = qRgb(x % 256, y % 256, 128);
    }
    const std::string large = progressive(huge);
    huge = QImage();

    BL::Server::SServiceOptions options;
    options.maxUploadBytes = 20 * 1024 * 1024;
    CTestServer server(options);
    auto client = server.client();
    for (const auto& [name, picture] :
         {std::pair<const char*, const std::string*>{"thousands of scans", &manyScans},
          {"40 megapixels, progressive", &large}}) {
        QElapsedTimer timer;
        timer.start();
        auto res = postUpload(*client, std::string(), std::string(), *picture);
        qInfo("%s (%zu KiB): refused in %lld ms", name, picture->size() >> 10,
              static_cast<long long>(timer.elapsed()));
        QVERIFY(res);
        QCOMPARE(QString::fromStdString(res->body),
                 QString::fromLatin1(R"({"status":"error","reason":"not a PNG or JPEG image"})"));
    }
    // An honest progressive picture still goes through.
    auto honest = postUpload(*client, std::string(), std::string(), base);
    QVERIFY(honest);
    QCOMPARE(QString::fromStdString(jsonValue(honest->body, "status")), QStringLiteral("ok"));
}

void TestServerLimits::diskQuotaRefusesOnceFull()
{
    QTemporaryDir dir;
    const std::string first = makePng(60, 60, 31);
    const std::string second = makePng(60, 60, 32);
    const std::string small = makePng(4, 4, 33);
    BL::Server::SServiceOptions options;
    options.dataDir = dir.path().toStdString();
    options.allowPrivateFetch = true;
    options.diskQuotaBytes = first.size() + small.size() + second.size() / 2;
    const QDir pictures(dir.filePath("pictures"));
    const auto stored = [&pictures] { return pictures.entryList(QDir::Files | QDir::Hidden).size(); };
    const std::string refusal = R"({"status":"error","reason":"the service has no room for more pictures"})";
    {
        CTestServer server(options);
        auto client = server.client();
        QCOMPARE(jsonValue(postUpload(*client, std::string(), reserveCode(*client), first)->body, "status"),
                 std::string("ok"));
        // The picture that does not fit is refused in words, ends its code and leaves no file.
        const SReserved over = reserve(*client);
        auto refused = postUpload(*client, std::string(), over.secret, second);
        QVERIFY(refused);
        QCOMPARE(refused->status, 200);
        QCOMPARE(refused->body, refusal);
        QVERIFY(client->get(("/" + over.code).c_str())->body.find("Upload failed") != std::string::npos);
        QCOMPARE(stored(), 1);
        // What still fits goes in.
        QCOMPARE(jsonValue(postUpload(*client, std::string(), std::string(), small)->body, "status"),
                 std::string("ok"));
        QCOMPARE(stored(), 2);
        // Crash dumps share the quota.
        auto report = client->post("/report", std::vector<SFormItem>{{"upload_file_minidump", second, "c.dmp",
                                                                      "application/octet-stream"}});
        QVERIFY(report);
        QCOMPARE(report->status, 507);
    }
    // After a restart the stored files count from the start: the second picture still does not
    // fit, and once the quota is full not even a URL fetch is tried.
    options.diskQuotaBytes = first.size() + small.size();
    CTestServer server(options);
    auto client = server.client();
    QCOMPARE(postUpload(*client, std::string(), std::string(), second)->body, refusal);
    BL::Server::CHttpServer source{BL::Server::SHttpLimits{}};
    std::atomic<int> fetched{0};
    source.get("/p.png", [&](const BL::Server::SHttpRequest&, BL::Server::SHttpResponse& res) {
        ++fetched;
        res.setContent(small, "image/png");
    });
    const int sourcePort = source.bind("127.0.0.1", 0);
    std::thread sourceThread([&source] { source.run(); });
    auto byUrl = client->post("/api/upload", "url=http://127.0.0.1:" + std::to_string(sourcePort) + "/p.png",
                              "application/x-www-form-urlencoded");
    source.stop();
    sourceThread.join();
    QVERIFY(byUrl);
    QCOMPARE(byUrl->body, refusal);
    QCOMPARE(fetched.load(), 0);
    QCOMPARE(stored(), 2);
}

void TestServerLimits::uploadsAndFetchesAreLimitedPerAddress()
{
    BL::Server::SServiceOptions options;
    options.allowPrivateFetch = true;
    options.uploadsPerMinute = 3;
    options.fetchesPerMinute = 2;
    CTestServer server(options);
    BL::Server::CHttpServer source{BL::Server::SHttpLimits{}};
    std::atomic<int> fetched{0};
    const std::string png = makePng(5, 5, 3);
    source.get("/p.png", [&](const BL::Server::SHttpRequest&, BL::Server::SHttpResponse& res) {
        ++fetched;
        res.setContent(png, "image/png");
    });
    const int sourcePort = source.bind("127.0.0.1", 0);
    std::thread sourceThread([&source] { source.run(); });
    const std::string form = "url=http://127.0.0.1:" + std::to_string(sourcePort) + "/p.png";
    const auto upload = [&](const char* from) { return postFrom(from, server.port(), "/api/upload", form); };

    // Each URL upload makes the service download up to the upload cap for a few bytes in: an
    // address gets a few, then a refusal it can read, and the source is not asked again.
    QCOMPARE(QString::fromStdString(jsonValue(upload("127.0.0.3").second, "status")), QStringLiteral("ok"));
    QCOMPARE(QString::fromStdString(jsonValue(upload("127.0.0.3").second, "status")), QStringLiteral("ok"));
    const auto refused = upload("127.0.0.3");
    QCOMPARE(refused.first, 200);
    QCOMPARE(refused.second,
             std::string(R"({"status":"error","reason":"too many uploads from this address"})"));
    QCOMPARE(fetched.load(), 2);
    // Another address has its own count.
    QCOMPARE(QString::fromStdString(jsonValue(upload("127.0.0.4").second, "status")), QStringLiteral("ok"));
    QCOMPARE(fetched.load(), 3);
    source.stop();
    sourceThread.join();

    // Uploads with files count alike, whichever kind came first.
    auto client = server.client();
    const auto byFile = client->post("/api/upload.php", clientMultipart(std::string(), std::string(), png),
                                     clientMultipartType());
    QVERIFY(byFile);
    QCOMPARE(QString::fromStdString(jsonValue(byFile->body, "status")), QStringLiteral("ok"));
    const auto again = postFrom("127.0.0.3", server.port(), "/api/upload.php", std::string());
    QCOMPARE(again.second,
             std::string(R"({"status":"error","reason":"too many uploads from this address"})"));

    // IPv6 clients are counted by their /64, which one subscriber holds whole.
    using BL::Server::addressLimitKey;
    QCOMPARE(addressLimitKey("2001:db8:1:2::1"), addressLimitKey("2001:db8:1:2:ffff:ffff:ffff:fffe"));
    QVERIFY(addressLimitKey("2001:db8:1:3::1") != addressLimitKey("2001:db8:1:2::1"));
    QCOMPARE(addressLimitKey("192.0.2.7"), std::string("192.0.2.7"));
}

void TestServerLimits::picturesAreStreamedToSlowReaders()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet"});
    QVERIFY(server.port > 0);
    auto client = loopbackClient(server.port);
    const std::string picture = makePng(1600, 1600, 77);
    auto upload = postUpload(*client, std::string(), std::string(), picture);
    QVERIFY(upload);
    const std::string code = codeOfUrl(jsonValue(upload->body, "url"));
    QVERIFY2(!code.empty(), upload->body.c_str());
    // Its thumbnail is made after the reply; the baseline is the service at rest.
    QVERIFY(waitForPreviews(*client, code));
    const long before = server.residentKiB();

    // Readers that ask for the picture and then take nothing: a service that loads whole files
    // would hold a copy for each of them.
    constexpr int readers = 24;
    std::vector<int> stalled;
    for (int i = 0; i < readers; ++i) {
        // From four addresses, each well within its connection cap.
        const int fd = connectFrom(("127.0.1." + std::to_string(1 + i % 4)).c_str(), server.port);
        QVERIFY(fd >= 0);
        const std::string request = "GET /" + code + ".png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        QVERIFY(::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size()));
        stalled.push_back(fd);
    }
    // Each has the start of its answer: the service has opened the picture for every one of them.
    for (const int fd : stalled) {
        QVERIFY(waitReadable(fd, 20000));
        char status[12];
        QCOMPARE(::recv(fd, status, sizeof status, MSG_PEEK), static_cast<ssize_t>(sizeof status));
        QCOMPARE(std::string(status, sizeof status), std::string("HTTP/1.1 200"));
    }
    const long during = server.residentKiB();
    qInfo("picture of %zu KiB, %d stalled readers: resident memory %ld KiB before, %ld KiB with them",
          picture.size() >> 10, readers, before, during);
    // Whole copies would be readers x the picture's size; streaming holds one buffer each.
    QVERIFY2(during - before < static_cast<long>(readers * (picture.size() >> 10) / 4),
             std::to_string(during - before).c_str());

    // A reader that does read gets every byte.
    auto whole = client->get(("/" + code + ".png").c_str());
    QVERIFY(whole);
    QCOMPARE(whole->status, 200);
    QCOMPARE(whole->header("Content-Type"), std::string("image/png"));
    QVERIFY(whole->body == picture);
    for (const int fd : stalled)
        ::close(fd);
}

QTEST_GUILESS_MAIN(TestServerLimits)
#include "tst_limits.moc"
