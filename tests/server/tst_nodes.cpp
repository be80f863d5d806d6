// Several service nodes on one PostgreSQL database (a throw-away cluster started by the test)
// and one shared picture directory.

#include "nginx_balancer.h"
#include "postgres_cluster.h"
#include "server/hash_key.h"
#include "server/pg_store.h"
#include "server/util.h"
#include "server_process.h"
#include "server_test_support.h"

#include <QDir>
#include <QtTest>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace BL::Test;
using namespace BL::Server;

namespace {

bool writeFile(const QString& path, const std::string& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(data.data(), static_cast<qint64>(data.size())) == static_cast<qint64>(data.size());
}

} // namespace

class TestServerNodes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoNodesShareOneDatabaseAndDirectory();
    void killingOneNodeLosesNothingAcknowledged();
    void limitsAndQuotaHoldAcrossNodes();
    void balancerSendsReservationAndUploadToDifferentNodes();
    void restartingANodeLosesNoUploadOfAnother();
    // Last: it stops the cluster.
    void healthFollowsTheDatabase();

private:
    std::unique_ptr<CPostgresCluster> m_cluster;
};

void TestServerNodes::initTestCase()
{
    m_cluster = std::make_unique<CPostgresCluster>();
    QVERIFY2(m_cluster->error().isEmpty(), qPrintable(m_cluster->error()));
}

void TestServerNodes::twoNodesShareOneDatabaseAndDirectory()
{
    const std::string database = m_cluster->createDatabase("nodes");
    QTemporaryDir shared;
    const SServiceOptions options = nodeOptions(database, shared.path());
    CTestServer first(options);
    CTestServer second(options);
    auto a = first.client();
    auto b = second.client();

    // Reserved on one node, uploaded through the other, served by both.
    const SReserved reserved = reserve(*a);
    QVERIFY(!reserved.secret.empty());
    QVERIFY(b->get(("/" + reserved.code).c_str())->body.find("Upload in progress") != std::string::npos);
    const std::string png = makePng(30, 20, 7);
    auto upload = postUpload(*b, std::string(), reserved.secret, png);
    QVERIFY(upload);
    QCOMPARE(upload->body, "{\"status\":\"ok\",\"url\":\"http://shots.example.test/" + reserved.code + "\"}");
    for (CHttpClient* client : {a.get(), b.get()}) {
        auto picture = client->get(("/" + reserved.code + ".png").c_str());
        QVERIFY(picture);
        QCOMPARE(picture->status, 200);
        QVERIFY(picture->body == png);
    }

    // A form loaded from one node is accepted by the other; the account is the same on both.
    const SWebForm form = loadForm(*a, "/signup");
    auto signUp = b->post("/signup", {{"Cookie", form.cookie}},
                          "email=two%40example.org&password=two-nodes&csrf=" + form.token,
                          "application/x-www-form-urlencoded");
    QVERIFY(signUp);
    QCOMPARE(signUp->status, 200);
    const std::string hash = sha1Hex("two@example.orgtwo-nodes");
    QCOMPARE(
        jsonValue(
            a->post("/api/check_hash", "hash=" + hash + "&uuid=u", "application/x-www-form-urlencoded")->body,
            "exists"),
        std::string("true"));

    // Uploads racing for one code through both nodes: one wins, and only its file stays.
    const SReserved contested = reserve(*b);
    const QDir pictures(shared.filePath("objects/pictures"));
    const int before = pictures.entryList(QDir::Files).size();
    std::atomic<int> won{0};
    std::atomic<int> refusedAsUsed{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 10; ++i) {
        racers.emplace_back([&, i] {
            auto client = (i % 2 ? first : second).client();
            auto res = postUpload(*client, std::string(), contested.secret, makePng(10, 10, 100 + i));
            if (res && jsonValue(res->body, "status") == "ok")
                ++won;
            else if (res && jsonValue(res->body, "reason") == "code already used")
                ++refusedAsUsed;
        });
    }
    for (std::thread& racer : racers)
        racer.join();
    QCOMPARE(won.load(), 1);
    QCOMPARE(refusedAsUsed.load(), 9);
    QCOMPARE(pictures.entryList(QDir::Files).size(), before + 1);
}

void TestServerNodes::killingOneNodeLosesNothingAcknowledged()
{
    const std::string database = m_cluster->createDatabase("kill");
    QTemporaryDir shared;
    const QStringList nodeArgs{"--quiet",
                               "--database",
                               QString::fromStdString(database),
                               "--objects",
                               shared.filePath("objects"),
                               "--hash-key",
                               shared.filePath("hash.key"),
                               "--public-url",
                               "http://shots.example.test",
                               "--connections-per-address",
                               "0",
                               "--rate-limits",
                               "100000,10,20,10"};
    CServerProcess doomed(shared.filePath("data-a"), shared.filePath("log-a"), nodeArgs);
    CServerProcess survivor(shared.filePath("data-b"), shared.filePath("log-b"), nodeArgs);
    QVERIFY2(doomed.port > 0, doomed.logText().c_str());
    QVERIFY2(survivor.port > 0, survivor.logText().c_str());

    constexpr int uploaders = 50;
    std::vector<std::string> pictures;
    for (unsigned i = 0; i < uploaders; ++i)
        pictures.push_back(makePng(300, 300, 900 + i)); // about 270 KB: slow enough to be caught mid-way
    std::mutex lock;
    std::map<std::string, int> acknowledged; // code -> picture index
    std::atomic<bool> killed{false};
    std::atomic<int> interrupted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < uploaders; ++i) {
        threads.emplace_back([&, i] {
            // Reserved through the surviving node, uploaded through either.
            for (int round = 0; round < 10 && !killed.load(); ++round) {
                auto reserving = loopbackClient(survivor.port);
                auto uploading = loopbackClient(i % 2 ? doomed.port : survivor.port);
                const std::string secret = reserveCode(*reserving);
                auto res = postUpload(*uploading, std::string(), secret, pictures[i]);
                if (res && res->status == 200 && jsonValue(res->body, "status") == "ok") {
                    std::lock_guard<std::mutex> guard(lock);
                    acknowledged[codeOfUrl(jsonValue(res->body, "url"))] = i;
                } else if (!res) {
                    ++interrupted;
                }
            }
        });
    }
    for (int wait = 0; wait < 1000; ++wait) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (acknowledged.size() >= uploaders)
                break;
        }
        QTest::qSleep(10);
    }
    doomed.process.kill(); // SIGKILL
    killed = true;
    QVERIFY(doomed.process.waitForFinished(5000));
    for (auto& thread : threads)
        thread.join();
    qInfo("%d uploads acknowledged, %d cut off by the kill", static_cast<int>(acknowledged.size()),
          interrupted.load());
    // The kill must really have cut uploads short, or this proves nothing.
    QVERIFY(interrupted.load() > 0);

    auto client = loopbackClient(survivor.port);
    for (const auto& [code, index] : acknowledged) {
        auto res = client->get(("/" + code + ".png").c_str());
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QVERIFY2(res->body == pictures[index], code.c_str());
    }
    // No row names a missing object.
    CPgStore store(database, CHashKey::loadOrCreate(shared.filePath("hash.key").toStdString()), 1);
    const QDir objects(shared.filePath("objects/pictures"));
    const std::vector<std::string> named = store.referencedFiles();
    for (const std::string& name : named)
        QVERIFY2(objects.exists(QString::fromStdString(name)), name.c_str());
    QVERIFY(named.size() >= acknowledged.size());
}

void TestServerNodes::limitsAndQuotaHoldAcrossNodes()
{
    QTemporaryDir shared;
    const std::string first = makePng(60, 60, 51);
    const std::string second = makePng(60, 60, 52);
    SServiceOptions options = nodeOptions(m_cluster->createDatabase("limits"), shared.path());
    options.reservationsPerMinute = 3;
    options.diskQuotaBytes = first.size() + second.size() / 2;
    CTestServer one(options);
    CTestServer two(options);
    auto a = one.client();
    auto b = two.client();

    // An address's reservations count on every node: three in all, wherever they went.
    QVERIFY(!reserveCode(*a).empty());
    QVERIFY(!reserveCode(*b).empty());
    QVERIFY(!reserveCode(*a).empty());
    for (CHttpClient* client : {a.get(), b.get()}) {
        auto refused = client->post("/api/reserve_code", "", "application/x-www-form-urlencoded");
        QVERIFY(refused);
        QCOMPARE(jsonValue(refused->body, "reason"), std::string("too many reservations from this address"));
    }

    // Failed credential checks too: half on each node, and the next is refused on either.
    const auto check = [](CHttpClient& client, int guess) {
        return client.post("/api/check_hash", "hash=" + sha1Hex("guess" + std::to_string(guess)) + "&uuid=u",
                           "application/x-www-form-urlencoded");
    };
    for (int i = 0; i < options.failedChecksPerMinute; ++i)
        QCOMPARE(check(i % 2 ? *a : *b, i)->status, 200);
    QCOMPARE(check(*a, 1000)->status, 429);
    QCOMPARE(check(*b, 1001)->status, 429);

    // The quota is one for all nodes: what one node stored leaves no room on the other.
    QCOMPARE(jsonValue(postUpload(*a, std::string(), std::string(), first)->body, "status"),
             std::string("ok"));
    QCOMPARE(postUpload(*b, std::string(), std::string(), second)->body,
             std::string(R"({"status":"error","reason":"the service has no room for more pictures"})"));
}

void TestServerNodes::balancerSendsReservationAndUploadToDifferentNodes()
{
    const std::string database = m_cluster->createDatabase("balanced");
    QTemporaryDir shared;
    const QStringList nodeArgs{"--database",      QString::fromStdString(database),
                               "--objects",       shared.filePath("objects"),
                               "--hash-key",      shared.filePath("hash.key"),
                               "--public-url",    "http://shots.example.test",
                               "--trusted-proxy", "127.0.0.1"};
    CServerProcess reserving(shared.filePath("data-a"), shared.filePath("log-a"), nodeArgs);
    CServerProcess uploading(shared.filePath("data-b"), shared.filePath("log-b"), nodeArgs);
    QVERIFY(reserving.port > 0 && uploading.port > 0);
    CNginxBalancer nginx({reserving.port, uploading.port},
                         {{"/api/reserve_code", reserving.port}, {"/api/upload.php", uploading.port}});
    QVERIFY2(nginx.error().isEmpty(), qPrintable(nginx.error()));

    auto client = loopbackClient(nginx.port());
    const SReserved reserved = reserve(*client);
    QVERIFY(!reserved.secret.empty());
    const std::string png = makePng(40, 30, 71);
    auto upload = postUpload(*client, std::string(), reserved.secret, png);
    QVERIFY(upload);
    QCOMPARE(upload->body, "{\"status\":\"ok\",\"url\":\"http://shots.example.test/" + reserved.code + "\"}");
    // Each node did its half.
    // (A node writes its access line once the reply is out.)
    QTRY_VERIFY_WITH_TIMEOUT(reserving.logText().find("\"POST /api/reserve_code\" 200") != std::string::npos,
                             5000);
    QTRY_VERIFY_WITH_TIMEOUT(uploading.logText().find("\"POST /api/upload.php\" 200") != std::string::npos,
                             5000);
    QVERIFY(reserving.logText().find("/api/upload.php") == std::string::npos);
    QVERIFY(uploading.logText().find("/api/reserve_code") == std::string::npos);
    // The link serves the picture through the balancer and from each node.
    for (const int port : {nginx.port(), reserving.port, uploading.port}) {
        auto picture = loopbackClient(port)->get(("/" + reserved.code + ".png").c_str());
        QVERIFY(picture);
        QCOMPARE(picture->status, 200);
        QVERIFY(picture->body == png);
    }
}

void TestServerNodes::restartingANodeLosesNoUploadOfAnother()
{
    const std::string database = m_cluster->createDatabase("restarts");
    QTemporaryDir shared;
    // The node taking the uploads is a process of its own, so its temporaries name a writer
    // other than the restarting node (which runs in this test's process).
    CServerProcess steady(shared.filePath("data-a"), shared.filePath("log-a"),
                          {"--quiet", "--database", QString::fromStdString(database), "--objects",
                           shared.filePath("objects"), "--hash-key", shared.filePath("hash.key"),
                           "--public-url", "http://shots.example.test", "--connections-per-address", "0",
                           "--upload-limits", "100000,10"});
    QVERIFY2(steady.port > 0, steady.logText().c_str());
    // A write another machine has under way: it may not go when a node starts.
    const QString pictureDir = shared.filePath("objects/pictures");
    const QString otherWriter = pictureDir + "/.tmp-other-node.example+4242+0123456789ab.png";
    QVERIFY(writeFile(otherWriter, "half a picture"));
    SServiceOptions restartingOptions = nodeOptions(database, shared.path());
    // Well above an upload's few milliseconds from file to row, far below the default.
    restartingOptions.orphanAgeMs = 3000;

    constexpr int uploaders = 4;
    constexpr int perUploader = 50;
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> stored; // code, picture
    std::vector<std::string> refused;
    std::atomic<int> running{uploaders};
    std::vector<std::thread> threads;
    for (int i = 0; i < uploaders; ++i) {
        threads.emplace_back([&, i] {
            auto client = loopbackClient(steady.port);
            for (int n = 0; n < perUploader; ++n) {
                const std::string png = makePng(200, 200, 5000 + perUploader * i + n);
                auto res = postUpload(*client, std::string(), std::string(), png);
                std::lock_guard<std::mutex> guard(lock);
                if (res && jsonValue(res->body, "status") == "ok")
                    stored.emplace_back(codeOfUrl(jsonValue(res->body, "url")), png);
                else
                    refused.push_back(res ? res->body : std::string("no answer"));
            }
            --running;
        });
    }
    // The other node starts, sweeps and stops again and again while the uploads run.
    // (Each answers once before it stops: a stop before its listener runs would not be seen.)
    const auto startAndStop = [&restartingOptions] {
        CTestServer restarting(restartingOptions);
        auto res = restarting.client()->get("/healthz");
        return res && res->status == 200;
    };
    int restarts = 0;
    bool everyStartAnswered = true;
    while (running > 0) {
        everyStartAnswered = startAndStop() && everyStartAnswered;
        ++restarts;
    }
    for (std::thread& thread : threads)
        thread.join();
    QVERIFY(everyStartAnswered);
    qInfo("%d restarts during %d uploads", restarts, uploaders * perUploader);
    QVERIFY(restarts >= 2);

    QVERIFY2(refused.empty(), refused.empty() ? "" : refused.front().c_str());
    QCOMPARE(static_cast<int>(stored.size()), uploaders * perUploader);
    QVERIFY(QFile::exists(otherWriter));

    // Once every file is old, only rows keep them: one more start sweeps the one no row names.
    const QString orphan = pictureDir + "/fedcba987654fedcba987654.png";
    QVERIFY(writeFile(orphan, "left by a crash"));
    const QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
    for (const QString& name : QDir(pictureDir).entryList(QDir::Files)) {
        QFile file(pictureDir + "/" + name);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(hourAgo, QFileDevice::FileModificationTime));
    }
    QVERIFY(startAndStop());
    QVERIFY(!QFile::exists(orphan));
    auto client = loopbackClient(steady.port);
    for (const auto& [code, png] : stored) {
        auto res = client->get(("/" + code + ".png").c_str());
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QVERIFY2(res->body == png, code.c_str());
    }
    CPgStore store(database, CHashKey::loadOrCreate(shared.filePath("hash.key").toStdString()), 1);
    for (const std::string& name : store.referencedFiles())
        QVERIFY2(QFile::exists(pictureDir + "/" + QString::fromStdString(name)), name.c_str());
}

void TestServerNodes::healthFollowsTheDatabase()
{
    QTemporaryDir shared;
    SServiceOptions options = nodeOptions(m_cluster->createDatabase("health"), shared.path());
    // Links built from each node's own address would differ between nodes.
    options.publicUrl.clear();
    bool refused = false;
    try {
        CTestServer withoutPublicUrl(options);
    } catch (const std::runtime_error& e) {
        refused = std::string(e.what()).find("--public-url") != std::string::npos;
    }
    QVERIFY(refused);

    options.publicUrl = "http://shots.example.test";
    CTestServer node(options);
    auto client = node.client();
    QCOMPARE(client->get("/healthz")->status, 200);
    m_cluster->stop();
    auto down = client->get("/healthz");
    QVERIFY(down);
    QCOMPARE(down->status, 503);
    QCOMPARE(down->body, std::string(R"({"status":"error","reason":"database unavailable"})"));
}

QTEST_GUILESS_MAIN(TestServerNodes)
#include "tst_nodes.moc"
