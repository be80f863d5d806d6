// Taking shares back on several nodes: one PostgreSQL database (a throw-away cluster the test
// starts) and one shared picture directory; whichever node deletes or purges, no node serves the
// picture afterwards, and every file goes exactly once.

#include "postgres_cluster.h"
#include "server/hash_key.h"
#include "server/pg_connection.h"
#include "server/pg_store.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QDir>
#include <QtTest>
#include <algorithm>
#include <set>
#include <thread>

using namespace BL::Test;
using namespace BL::Server;

namespace {

const char form[] = "application/x-www-form-urlencoded";

QStringList filesIn(const QTemporaryDir& shared)
{
    return QDir(shared.filePath("objects/pictures")).entryList(QDir::Files);
}

CResult deleteShare(CHttpClient& client, const std::string& secret)
{
    return client.post("/api/delete", "code=" + secret, form);
}

} // namespace

class TestServerNodeShares : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deletedOnOneNodeIsGoneFromEvery();
    void deletionsAndUploadsRacingAcrossNodesLeaveNoFile();
    void nodesPurgingTogetherEachTakeOtherRows();
    void uploadTokenMadeOnOneNodeWorksOnEvery();

private:
    std::unique_ptr<CPostgresCluster> m_cluster;
};

void TestServerNodeShares::initTestCase()
{
    m_cluster = std::make_unique<CPostgresCluster>();
    QVERIFY2(m_cluster->error().isEmpty(), qPrintable(m_cluster->error()));
}

void TestServerNodeShares::deletedOnOneNodeIsGoneFromEvery()
{
    QTemporaryDir shared;
    const std::string left = makePng(500, 300, 1);
    const std::string right = makePng(400, 300, 2);
    SServiceOptions options = nodeOptions(m_cluster->createDatabase("deleted"), shared.path());
    CTestServer first(options);
    CTestServer second(options);
    auto a = first.client();
    auto b = second.client();

    // A comparison uploaded through B: its pictures and previews on both nodes.
    const SReserved reserved = reserve(*b);
    QCOMPARE(jsonValue(postUpload(*b, std::string(), reserved.secret, left, &right)->body, "status"),
             std::string("ok"));
    QVERIFY(waitForPreviews(*b, reserved.code));
    const std::vector<std::string> addresses = {"/" + reserved.code + ".png", "/" + reserved.code + "-2.png",
                                                "/" + reserved.code + "-pair.png",
                                                "/" + reserved.code + "-thumb.png"};
    for (CHttpClient* client : {a.get(), b.get()})
        for (const std::string& address : addresses)
            QCOMPARE(client->get(address)->status, 200);
    QCOMPARE(b->get(addresses[0])->body, left);
    QCOMPARE(filesIn(shared).size(), 4);

    // Deleted through A: B answers 410 for the page, every picture and the oEmbed description,
    // with not a byte of the pictures, and the files are gone from the shared directory.
    QCOMPARE(deleteShare(*a, reserved.secret)->body, std::string(R"({"status":"ok"})"));
    QVERIFY(filesIn(shared).isEmpty());
    for (CHttpClient* client : {b.get(), a.get()}) {
        auto page = client->get("/" + reserved.code);
        QCOMPARE(page->status, 410);
        QVERIFY(page->body.find("This picture was removed.") != std::string::npos);
        for (const std::string& address : addresses) {
            auto res = client->get(address);
            QCOMPARE(res->status, 410);
            QVERIFY(res->body.find(left.substr(0, 64)) == std::string::npos);
            QVERIFY(res->body.find(right.substr(0, 64)) == std::string::npos);
            QCOMPARE(QString::fromStdString(res->header("Content-Type")).left(9),
                     QStringLiteral("text/html"));
        }
        QCOMPARE(client->get("/oembed?url=http%3A%2F%2Fshots.example.test%2F" + reserved.code)->status, 410);
    }
    QCOMPARE(deleteShare(*b, reserved.secret)->body,
             std::string(R"({"status":"error","reason":"code already deleted"})"));

    // The owner deletes through one node with the form another node's page gave.
    QCOMPARE(submitForm(*a, "/signup", "email=own%40example.org&password=own-secret")->status, 200);
    auto signIn = submitForm(*a, "/user/history", "email=own%40example.org&password=own-secret");
    const std::string session =
        signIn->header("Set-Cookie").substr(0, signIn->header("Set-Cookie").find(';'));
    const std::string owned = codeOfUrl(
        jsonValue(postUpload(*a, sha1Hex("own@example.orgown-secret"), std::string(), left)->body, "url"));
    QVERIFY(waitForPreviews(*a, owned));
    const SWebForm page = loadForm(*a, "/user/history", session);
    auto removed = b->post("/user/delete", {{"Cookie", session + "; " + page.cookie}},
                           "code=" + owned + "&csrf=" + page.token, form);
    QCOMPARE(removed->status, 303);
    QCOMPARE(a->get("/" + owned + ".png")->status, 410);
    QVERIFY(filesIn(shared).isEmpty());
}

void TestServerNodeShares::deletionsAndUploadsRacingAcrossNodesLeaveNoFile()
{
    QTemporaryDir shared;
    SServiceOptions options = nodeOptions(m_cluster->createDatabase("racing"), shared.path());
    options.connections.perAddress = 0;
    options.failedChecksPerMinute = 1000;
    // The quota is where a file given back twice, or not at all, would show. The picture is its
    // own thumbnail: its bytes are all it takes.
    const std::string picture = makePng(100, 100, 3);
    options.diskQuotaBytes = 4 * picture.size();
    CTestServer first(options);
    CTestServer second(options);

    // Two deletions through two nodes at once: one deletes, one is refused, and nothing of the
    // picture stays; in every other round the upload through a third connection races them too,
    // and whichever comes first, nothing stays either.
    int uploadsFirst = 0;
    constexpr int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        auto a = first.client();
        auto b = second.client();
        const SReserved reserved = reserve(*a);
        std::string uploaded;
        std::string deletedByA;
        std::string deletedByB;
        const bool racing = round % 2 == 1;
        std::thread uploader(
            [&] { uploaded = postUpload(*b, std::string(), reserved.secret, picture)->body; });
        if (!racing) {
            uploader.join();
            QCOMPARE(jsonValue(uploaded, "status"), std::string("ok"));
            QCOMPARE(filesIn(shared).size(), 1);
        }
        std::thread deleterA([&] { deletedByA = deleteShare(*first.client(), reserved.secret)->body; });
        std::thread deleterB([&] { deletedByB = deleteShare(*second.client(), reserved.secret)->body; });
        if (racing)
            uploader.join();
        deleterA.join();
        deleterB.join();
        const std::string ok = R"({"status":"ok"})";
        const std::string again = R"({"status":"error","reason":"code already deleted"})";
        QVERIFY2((deletedByA == ok && deletedByB == again) || (deletedByA == again && deletedByB == ok),
                 (deletedByA + " " + deletedByB).c_str());
        if (jsonValue(uploaded, "status") == "ok")
            uploadsFirst += racing ? 1 : 0;
        else
            QCOMPARE(uploaded, std::string(R"({"status":"error","reason":"code deleted"})"));
        QVERIFY2(filesIn(shared).isEmpty(), qPrintable(filesIn(shared).join(' ')));
        QCOMPARE(a->get("/" + reserved.code + ".png")->status, 410);
    }
    qInfo("%d of %d racing uploads came before their deletion", uploadsFirst, rounds / 2);
    // Every byte taken for a picture was given back: four pictures fit again, and a fifth does not.
    auto client = first.client();
    for (int i = 0; i < 4; ++i)
        QCOMPARE(jsonValue(postUpload(*client, std::string(), std::string(), picture)->body, "status"),
                 std::string("ok"));
    QCOMPARE(jsonValue(postUpload(*client, std::string(), std::string(), picture)->body, "reason"),
             std::string("the service has no room for more pictures"));
}

void TestServerNodeShares::nodesPurgingTogetherEachTakeOtherRows()
{
    const std::string database = m_cluster->createDatabase("purged");
    const CHashKey key(std::string(64, 'p'));
    CPgStore one(database, key, 2);
    CPgStore two(database, key, 2);
    // Sixty pictures kept for an hour, their time then moved two hours back.
    std::set<std::string> stored;
    for (int i = 0; i < 60; ++i) {
        const SReservation reserved = one.reserveCode(0, 60000, 3600 * 1000);
        const std::string name = "p" + std::to_string(i) + ".png";
        SUpload upload{reserved.secret, 0, {{name, "image/png", 10, 10}}, {}, 0, {}, {}, 100};
        if (i % 3 == 0) {
            upload.thumbnail = {"t" + std::to_string(i) + ".png", "image/png", 5, 5};
            stored.insert(upload.thumbnail.name);
        }
        std::string code;
        QCOMPARE(static_cast<int>(one.storeUpload(upload, 0, &code)), static_cast<int>(EClaim::Ok));
        stored.insert(name);
    }
    CPgConnection connection(database);
    connection.exec("UPDATE codes SET ends_ms = ends_ms - 7200000");
    connection.exec("UPDATE pictures SET ends_ms = ends_ms - 7200000");

    // Both nodes purge at once, a few rows at a time: every file comes back once, from one of them.
    std::vector<std::string> fromOne;
    std::vector<std::string> fromTwo;
    const auto purge = [](CPgStore& store, std::vector<std::string>& files) {
        for (;;) {
            const std::vector<std::string> batch = store.purgeExpiredPictures(0, 4);
            if (batch.empty())
                return;
            files.insert(files.end(), batch.begin(), batch.end());
        }
    };
    std::thread other([&] { purge(two, fromTwo); });
    purge(one, fromOne);
    other.join();
    std::vector<std::string> all = fromOne;
    all.insert(all.end(), fromTwo.begin(), fromTwo.end());
    std::sort(all.begin(), all.end());
    QCOMPARE(all, std::vector<std::string>(stored.begin(), stored.end()));
    qInfo("%d files purged by one node, %d by the other", static_cast<int>(fromOne.size()),
          static_cast<int>(fromTwo.size()));
    QVERIFY(one.referencedFiles().empty());
}

// Tokens live in the shared database: made on A, they upload through B, and a revocation on B
// stops them on A at once.
void TestServerNodeShares::uploadTokenMadeOnOneNodeWorksOnEvery()
{
    QTemporaryDir shared;
    SServiceOptions options = nodeOptions(m_cluster->createDatabase("tokens"), shared.path());
    CTestServer first(options);
    CTestServer second(options);
    auto a = first.client();
    auto b = second.client();
    const std::string fields = "email=tia%40example.org&password=tia-secret";
    QCOMPARE(submitForm(*a, "/signup", fields)->status, 200);
    auto signIn = submitForm(*a, "/user/history", fields);
    const std::string session =
        signIn->header("Set-Cookie").substr(0, signIn->header("Set-Cookie").find(';'));
    SWebForm page = loadForm(*a, "/user/history", session);
    auto made = a->post("/user/tokens", {{"Cookie", session + "; " + page.cookie}},
                        "name=cli&csrf=" + page.token, form);
    const std::size_t at = made->body.find("blt_");
    QVERIFY2(at != std::string::npos, made->body.c_str());
    const std::string token = made->body.substr(at, 52);
    const std::string picture = makePng(80, 60, 9);
    const std::string body =
        "--b0\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.png\"\r\n\r\n" + picture +
        "\r\n--b0--\r\n";
    const auto upload = [&](CHttpClient& client) {
        return client.post("/api/pictures", {{"Authorization", "Bearer " + token}}, body,
                           "multipart/form-data; boundary=b0");
    };
    auto stored = upload(*b);
    QCOMPARE(stored->status, 200);
    const std::size_t urlAt = stored->body.find("\"url\":\"") + 7;
    const std::string url = stored->body.substr(urlAt, stored->body.find('"', urlAt) - urlAt);
    const std::string code = url.substr(url.rfind('/') + 1);
    QVERIFY(a->get("/" + code + ".png")->body == picture);
    // Listed as the account's upload, on the other node.
    QVERIFY(a->get("/user/history", {{"Cookie", session}})->body.find("href=\"/" + code + "\"") !=
            std::string::npos);
    page = loadForm(*b, "/user/history", session);
    const std::string history = b->get("/user/history", {{"Cookie", session}})->body;
    const std::size_t idAt = history.find("name=\"id\" value=\"") + 17;
    const std::string id = history.substr(idAt, history.find('"', idAt) - idAt);
    QCOMPARE(b->post("/user/tokens/revoke", {{"Cookie", session + "; " + page.cookie}},
                     "id=" + id + "&csrf=" + page.token, form)
                 ->status,
             303);
    QCOMPARE(upload(*a)->status, 401);
}

QTEST_GUILESS_MAIN(TestServerNodeShares)
#include "tst_node_shares.moc"
