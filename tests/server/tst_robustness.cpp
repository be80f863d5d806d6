// Hostile input and concurrency: refusals stay 4xx JSON, the server stays up, uploads stay whole.

#include "pngbuilder.h"
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

class TestServerRobustness : public QObject
{
    Q_OBJECT

private slots:
    void badInputGetsJsonRefusal_data();
    void badInputGetsJsonRefusal();
    void garbageInEveryFieldIsHarmless();
    void concurrentUploadsAreAllReadable();
    void racingUploadsForOneCodeHaveOneWinner();

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

QTEST_GUILESS_MAIN(TestServerRobustness)
#include "tst_robustness.moc"
