// The store on PostgreSQL, in a throw-away cluster started by the test: its rows, its clock, its
// schema, and the copy of a SQLite store into it.

#include "pg_proxy.h"
#include "postgres_cluster.h"
#include "server/disk_quota.h"
#include "server/hash_key.h"
#include "server/pg_store.h"
#include "server/store_rules.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QDir>
#include <QProcess>
#include <QtTest>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace BL::Test;
using namespace BL::Server;

class TestServerPostgres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void storeKeepsCodesAccountsAndReports();
    void timeComesFromTheDatabaseClock();
    void schemaIsMigratedOnceAndKeyChecked();
    void sqliteStoreCopiesToPostgres();
    void quotaGivenBackWhileTheDatabaseIsDownIsOwedNotLost();
    void frozenDatabaseCostsAnErrorNotAThread();
    void uploadWhoseCommitAnswerIsLostKeepsItsPicture();

private:
    std::unique_ptr<CPostgresCluster> m_cluster;
    const CHashKey m_key{std::string(64, 'a')};
};

void TestServerPostgres::initTestCase()
{
    m_cluster = std::make_unique<CPostgresCluster>();
    QVERIFY2(m_cluster->error().isEmpty(), qPrintable(m_cluster->error()));
}

void TestServerPostgres::storeKeepsCodesAccountsAndReports()
{
    const std::string database = m_cluster->createDatabase("store");
    QVERIFY(!database.empty());
    CPgStore store(database, m_key, 4);

    const SReservation reserved = store.reserveCode(0, 60000);
    QCOMPARE(store.lookup(reserved.code, 0).state, ECodeState::Pending);
    QCOMPARE(store.lookupSecret(reserved.secret, 0).state, ECodeState::Pending);
    QCOMPARE(store.lookup(reserved.secret, 0).state, ECodeState::Unknown);

    QCOMPARE(store.createAccount("Ann@Example.org", sha1Hex("ann"), 0), ESignup::Ok);
    QCOMPARE(store.createAccount("ann@example.ORG", sha1Hex("other"), 0), ESignup::EmailTaken);
    QCOMPARE(store.createAccount("bob@example.org", sha1Hex("ann"), 0), ESignup::CredentialTaken);
    const std::int64_t ann = store.accountForHash(sha1Hex("ann"));
    QVERIFY(ann > 0);
    QCOMPARE(store.accountFor("ANN@example.org", sha1Hex("ann")), ann);
    QCOMPARE(store.accountFor("ann@example.org", sha1Hex("wrong")), std::int64_t(0));
    QCOMPARE(store.accountEmail(ann), std::string("Ann@Example.org"));

    std::string code;
    const std::vector<SPictureFile> pair{{"one.png", "image/png"}, {"two.jpg", "image/jpeg"}};
    QCOMPARE(store.storeUpload(reserved.secret, 0, ann, pair, "http://example.org/x", &code), EClaim::Ok);
    QCOMPARE(code, reserved.code);
    QCOMPARE(store.storeUpload(reserved.secret, 0, ann, pair, std::string(), &code), EClaim::Used);
    const SCodeInfo info = store.lookup(reserved.code, 0);
    QCOMPARE(info.state, ECodeState::Uploaded);
    QCOMPARE(info.files.size(), std::size_t(2));
    QCOMPARE(info.files[1].name, std::string("two.jpg"));
    QCOMPARE(info.files[1].mime, std::string("image/jpeg"));

    std::string fresh;
    QCOMPARE(store.storeUpload(std::string(), 0, ann, {{"three.png", "image/png"}}, std::string(), &fresh),
             EClaim::Ok);
    const auto history = store.history(ann, 10, nowMs());
    QCOMPARE(history.size(), std::size_t(2));
    QCOMPARE(history[0].code, fresh);
    QCOMPARE(history[1].pictureCount, 2);
    QCOMPARE(history[1].sourceUrl, std::string("http://example.org/x"));

    const SReservation failed = store.reserveCode(0, 60000);
    store.failCode(failed.secret, 0);
    QCOMPARE(store.lookup(failed.code, 0).state, ECodeState::Failed);
    QCOMPARE(store.storeUpload(failed.secret, 0, 0, pair, std::string(), &code), EClaim::Failed);
    QCOMPARE(store.storeUpload("NoSuchSecret", 0, 0, pair, std::string(), &code), EClaim::Unknown);

    store.createSession(std::string(64, 's'), ann, nowMs() + 60000);
    QCOMPARE(store.sessionAccount(std::string(64, 's'), 0), ann);
    store.deleteSession(std::string(64, 's'));
    QCOMPARE(store.sessionAccount(std::string(64, 's'), 0), std::int64_t(0));

    store.addReport({"r1", "Linux", "me@host", "1.0", "a@b.c", "r1.dmp", 0}, 0);
    store.addReport({"r2", "Linux", "", "1.1", "", "r2.dmp", 0}, 0);
    const auto reports = store.reports(10);
    QCOMPARE(reports.size(), std::size_t(2));
    QCOMPARE(reports[0].id, std::string("r2"));
    QCOMPARE(reports[1].buildHostUser, std::string("me@host"));

    auto files = store.referencedFiles();
    std::sort(files.begin(), files.end());
    QCOMPARE(files, (std::vector<std::string>{"one.png", "three.png", "two.jpg"}));

    // Of many uploads racing for one code from separate connections, exactly one claims it.
    const SReservation contested = store.reserveCode(0, 60000);
    std::atomic<int> won{0};
    std::atomic<int> used{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 12; ++i) {
        racers.emplace_back([&, i] {
            std::string got;
            const EClaim claim =
                store.storeUpload(contested.secret, 0, 0,
                                  {{"race" + std::to_string(i) + ".png", "image/png"}}, std::string(), &got);
            (claim == EClaim::Ok ? won : used) += claim == EClaim::Ok || claim == EClaim::Used ? 1 : 100;
        });
    }
    for (std::thread& racer : racers)
        racer.join();
    QCOMPARE(won.load(), 1);
    QCOMPARE(used.load(), 11);
    QCOMPARE(store.lookup(contested.code, 0).files.size(), std::size_t(1));
}

void TestServerPostgres::timeComesFromTheDatabaseClock()
{
    const std::string database = m_cluster->createDatabase("clock");
    CPgStore store(database, m_key, 2);
    // A node whose clock is a day ahead neither expires a fresh code nor purges it.
    const std::int64_t dayAhead = nowMs() + 24LL * 3600 * 1000;
    const SReservation fresh = store.reserveCode(dayAhead, 60000);
    QCOMPARE(store.lookup(fresh.code, dayAhead).state, ECodeState::Pending);
    QCOMPARE(store.purgeExpired(dayAhead), 0);
    // A short lifetime runs out by the database's clock, whatever the node says.
    const SReservation brief = store.reserveCode(0, 50);
    QTRY_COMPARE_WITH_TIMEOUT(store.lookup(brief.code, 0).state, ECodeState::Expired, 5000);
    std::string code;
    QCOMPARE(store.storeUpload(brief.secret, 0, 0, {{"late.png", "image/png"}}, std::string(), &code),
             EClaim::Expired);
    QCOMPARE(store.purgeExpired(0), 1);
    QCOMPARE(store.lookup(brief.code, 0).state, ECodeState::Unknown);
    QCOMPARE(store.lookup(fresh.code, 0).state, ECodeState::Pending);
}

void TestServerPostgres::schemaIsMigratedOnceAndKeyChecked()
{
    const std::string database = m_cluster->createDatabase("schema");
    // Nodes starting together take turns; each finds the schema complete.
    std::vector<std::thread> starters;
    std::atomic<int> started{0};
    for (int i = 0; i < 4; ++i) {
        starters.emplace_back([&] {
            try {
                CPgStore store(database, m_key, 1);
                ++started;
            } catch (const std::exception& e) {
                qWarning("%s", e.what());
            }
        });
    }
    for (std::thread& starter : starters)
        starter.join();
    QCOMPARE(started.load(), 4);
    {
        CPgStore store(database, m_key, 1);
        QCOMPARE(store.createAccount("k@example.org", sha1Hex("k"), 0), ESignup::Ok);
    }
    // Another key would sign nobody in: the store refuses to start with it.
    bool refused = false;
    try {
        CPgStore other(database, CHashKey(std::string(64, 'b')), 1);
    } catch (const std::runtime_error& e) {
        refused = std::string(e.what()).find("another hash key") != std::string::npos;
    }
    QVERIFY(refused);

    // A database that a newer program migrated is refused, with the words the SQLite store uses,
    // and left at its version.
    const int newer = latestSchemaVersion + 1;
    CPgConnection(database).exec("UPDATE schema_version SET version = $1", {newer});
    QString refusal;
    try {
        CPgStore older(database, m_key, 1);
    } catch (const std::runtime_error& e) {
        refusal = QString::fromUtf8(e.what());
    }
    QCOMPARE(refusal, QStringLiteral("the database has schema version %1, newer than version %2, the newest "
                                     "this program knows; run a newer brightloom-server")
                          .arg(newer)
                          .arg(latestSchemaVersion));
    const CPgResult kept = CPgConnection(database).exec("SELECT version FROM schema_version");
    QCOMPARE(kept.rows(), 1);
    QCOMPARE(kept.integer(0, 0), std::int64_t(newer));
}

void TestServerPostgres::sqliteStoreCopiesToPostgres()
{
    QTemporaryDir dir;
    QTemporaryDir shared;
    const std::string single = makePng(20, 20, 61);
    const std::string left = makePng(21, 21, 62);
    const std::string right = makeJpeg(22, 22, 63);
    const std::string annHash = sha1Hex("ann@example.organn-secret");
    std::string pairCode;
    std::string singleCode;
    SReserved pending;
    SReserved failed;
    SReserved deleted;
    {
        SServiceOptions options;
        options.dataDir = dir.path().toStdString();
        CTestServer server(options);
        auto client = server.client();
        QCOMPARE(submitForm(*client, "/signup", "email=ann%40example.org&password=ann-secret")->status, 200);
        QCOMPARE(submitForm(*client, "/signup", "email=bob%40example.org&password=bob-secret")->status, 200);
        pairCode = codeOfUrl(
            jsonValue(postUpload(*client, annHash, reserveCode(*client), left, &right)->body, "url"));
        QTest::qSleep(5);
        singleCode = codeOfUrl(jsonValue(postUpload(*client, annHash, std::string(), single)->body, "url"));
        pending = reserve(*client);
        failed = reserve(*client);
        QVERIFY(jsonValue(postUpload(*client, std::string(), failed.secret, "not a picture")->body,
                          "status") == "error");
        deleted = reserve(*client);
        QCOMPARE(jsonValue(postUpload(*client, std::string(), deleted.secret, single)->body, "status"),
                 std::string("ok"));
        QCOMPARE(
            client->post("/api/delete", "code=" + deleted.secret, "application/x-www-form-urlencoded")->body,
            std::string(R"({"status":"ok"})"));
        QVERIFY(!pairCode.empty() && !singleCode.empty());
    }

    const std::string database = m_cluster->createDatabase("copied");
    const auto copy = [&] {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(QStringLiteral(BL_SERVER_BINARY),
                   {"--data", dir.path(), "--objects", shared.filePath("objects"), "--copy-to-database",
                    QString::fromStdString(database)});
        tool.waitForFinished(60000);
        return std::make_pair(tool.exitCode(), tool.readAll().toStdString());
    };
    const auto copied = copy();
    QCOMPARE(copied.first, 0);
    QVERIFY2(copied.second.find("2 accounts, 5 codes, 3 pictures") != std::string::npos,
             copied.second.c_str());
    // A second copy would mix two services' rows: refused.
    const auto again = copy();
    QCOMPARE(again.first, 1);
    QVERIFY2(again.second.find("already holds") != std::string::npos, again.second.c_str());

    SServiceOptions options = nodeOptions(database, shared.path());
    options.hashKeyPath = dir.filePath("hash.key").toStdString();
    CTestServer node(options);
    auto client = node.client();
    QVERIFY(client->get(("/" + pairCode + ".png").c_str())->body == left);
    QVERIFY(client->get(("/" + pairCode + "-2.png").c_str())->body == right);
    QVERIFY(client->get(("/" + singleCode + ".png").c_str())->body == single);
    // With their sizes and previews.
    QCOMPARE(client->get(("/" + pairCode + "-pair.png").c_str())->status, 200);
    QCOMPARE(client->get(("/" + singleCode + "-thumb.png").c_str())->status, 200);
    QVERIFY(client->get(("/" + singleCode).c_str())
                ->body.find("<meta property=\"og:image:width\" content=\"20\">") != std::string::npos);
    QVERIFY(client->get(("/" + failed.code).c_str())->body.find("Upload failed") != std::string::npos);
    // A deleted code stays a tombstone: its link says so, and its secret takes nothing.
    QCOMPARE(client->get(("/" + deleted.code).c_str())->status, 410);
    QCOMPARE(jsonValue(postUpload(*client, std::string(), deleted.secret, single)->body, "reason"),
             std::string("code deleted"));

    // Accounts sign in with the same passwords; the history keeps its order.
    auto signIn = submitForm(*client, "/user/history", "email=ann%40example.org&password=ann-secret");
    QCOMPARE(signIn->status, 303);
    const std::string cookie = signIn->header("Set-Cookie");
    const std::string history =
        client->get("/user/history", {{"Cookie", cookie.substr(0, cookie.find(';'))}})->body;
    const std::size_t newer = history.find("href=\"/" + singleCode + "\"");
    const std::size_t older = history.find("href=\"/" + pairCode + "\"");
    QVERIFY2(newer != std::string::npos && older != std::string::npos && newer < older, history.c_str());
    QVERIFY(history.find(" &middot; comparison") != std::string::npos);
    QCOMPARE(
        jsonValue(client
                      ->post("/api/check_hash", "hash=" + sha1Hex("bob@example.orgbob-secret") + "&uuid=u",
                             "application/x-www-form-urlencoded")
                      ->body,
                  "exists"),
        std::string("true"));
    // New accounts go on from the copied ones, and the pending code still takes its upload.
    QCOMPARE(submitForm(*client, "/signup", "email=carol%40example.org&password=carol-secret")->status, 200);
    const std::string late = makePng(12, 12, 64);
    QCOMPARE(jsonValue(postUpload(*client, annHash, pending.secret, late)->body, "status"),
             std::string("ok"));
    QVERIFY(client->get(("/" + pending.code + ".png").c_str())->body == late);
}

namespace {

// Short enough that a test waits seconds, not minutes, for a database that does not answer.
SPgTimeouts shortTimeouts()
{
    SPgTimeouts timeouts;
    timeouts.connectMs = 1000;
    timeouts.statementMs = 1500;
    timeouts.acquireMs = 1000;
    return timeouts;
}

} // namespace

void TestServerPostgres::quotaGivenBackWhileTheDatabaseIsDownIsOwedNotLost()
{
    const std::string database = m_cluster->createDatabase("owed");
    CPgStore store(database, m_key, 2, shortTimeouts());
    const std::unique_ptr<CDiskQuota> quota = store.makeQuota(1000);
    QVERIFY(quota->take(100));
    {
        CQuotaHold hold(*quota, 300);
        QVERIFY(hold);
        m_cluster->stop();
        // The upload fails and its bytes go back while nothing answers: the process goes on.
    }
    QVERIFY2(m_cluster->start(), qPrintable(m_cluster->error()));
    // The quota's next statement settles what was owed: 100 bytes used, so 901 more do not fit
    // and 900 do.
    QVERIFY(!quota->take(901));
    QVERIFY(quota->take(900));
    QVERIFY(quota->full());
}

void TestServerPostgres::frozenDatabaseCostsAnErrorNotAThread()
{
    const std::string database = m_cluster->createDatabase("frozen");
    CPgStore store(database, m_key, 2, shortTimeouts());
    const SReservation reserved = store.reserveCode(0, 60000);
    QVERIFY(m_cluster->pause());
    auto resume = qScopeGuard([this] { m_cluster->resume(); });

    // Statements under way on both connections get no answer; each ends in an error by its deadline.
    std::atomic<int> failed{0};
    std::vector<std::thread> stuck;
    for (int i = 0; i < 2; ++i) {
        stuck.emplace_back([&] {
            try {
                store.lookup(reserved.code, 0);
            } catch (const std::runtime_error&) {
                ++failed;
            }
        });
    }
    // The health check answers by its own deadline, whether it waits for a connection, opens a
    // third or sends on an idle one.
    QElapsedTimer timer;
    timer.start();
    QVERIFY_EXCEPTION_THROWN(store.ping(), std::runtime_error);
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    for (std::thread& thread : stuck)
        thread.join();
    QCOMPARE(failed.load(), 2);
    // Opening a connection to the frozen server fails by the connect deadline.
    QVERIFY_EXCEPTION_THROWN(store.reserveCode(0, 60000), std::runtime_error);

    // Back: the broken connections were dropped, fresh ones serve the same store.
    m_cluster->resume();
    store.ping();
    QCOMPARE(store.lookup(reserved.code, 0).state, ECodeState::Pending);
    // Restarted while idle: the connections the server closed are replaced before use, so the
    // first statement after the restart already succeeds.
    m_cluster->stop();
    QVERIFY2(m_cluster->start(), qPrintable(m_cluster->error()));
    QCOMPARE(store.lookup(reserved.code, 0).state, ECodeState::Pending);
    m_cluster->stop();
    QVERIFY_EXCEPTION_THROWN(store.ping(), std::runtime_error);
    QVERIFY2(m_cluster->start(), qPrintable(m_cluster->error()));
    store.ping();
}

void TestServerPostgres::uploadWhoseCommitAnswerIsLostKeepsItsPicture()
{
    m_cluster->createDatabase("lostcommit");
    CPgCommitDropProxy proxy(m_cluster->port());
    QVERIFY(proxy.port() > 0);
    QTemporaryDir shared;
    CTestServer node(nodeOptions("host=127.0.0.1 port=" + std::to_string(proxy.port()) +
                                     " user=brightloom dbname=lostcommit",
                                 shared.path()));
    auto client = node.client();
    const SReserved reserved = reserve(*client);
    QVERIFY(!reserved.secret.empty());

    // The COMMIT of the upload's rows runs, and then its connection goes before the answer.
    proxy.armAfter("INSERT INTO pictures");
    const std::string png = makePng(24, 24, 81);
    auto upload = postUpload(*client, std::string(), reserved.secret, png);
    QVERIFY(upload);
    QCOMPARE(proxy.dropped(), 1);
    // The node asked again on a fresh connection, found its rows, and kept the picture they name.
    QCOMPARE(upload->body, "{\"status\":\"ok\",\"url\":\"http://shots.example.test/" + reserved.code + "\"}");
    auto picture = client->get(("/" + reserved.code + ".png").c_str());
    QVERIFY(picture);
    QCOMPARE(picture->status, 200);
    QVERIFY(picture->body == png);
}

QTEST_GUILESS_MAIN(TestServerPostgres)
#include "tst_postgres.moc"
