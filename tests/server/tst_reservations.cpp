// Bursts of reservations, which the service commits together: on SQLite and on PostgreSQL, every
// client gets a code of its own that is a row before its reply, and the per-address limit holds
// to the request however the burst was cut into batches.

#include "postgres_cluster.h"
#include "server/hash_key.h"
#include "server/sqlite_store.h"
#include "server/store.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace BL::Test;
using namespace BL::Server;

class TestServerReservations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void burstsGetOneRowEachWithinTheLimit_data();
    void burstsGetOneRowEachWithinTheLimit();
    void sqliteLogStaysBoundedUnderBursts();

private:
    std::unique_ptr<CPostgresCluster> m_cluster;
};

void TestServerReservations::initTestCase()
{
    m_cluster = std::make_unique<CPostgresCluster>();
    QVERIFY2(m_cluster->error().isEmpty(), qPrintable(m_cluster->error()));
}

void TestServerReservations::burstsGetOneRowEachWithinTheLimit_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgres") << true;
}

void TestServerReservations::burstsGetOneRowEachWithinTheLimit()
{
    QFETCH(bool, postgres);
    QTemporaryDir shared;
    SServiceOptions options =
        postgres ? nodeOptions(m_cluster->createDatabase("burst"), shared.path()) : SServiceOptions();
    options.connections.perAddress = 0;
    options.reservationsPerMinute = 250;
    CTestServer server(options);

    // 16 clients on persistent connections, 20 reservations each, all at once: 320 asked, 250 let in.
    constexpr int clients = 16;
    constexpr int each = 20;
    std::mutex mutex;
    std::vector<std::string> secrets;
    std::vector<std::string> codes;
    int refused = 0;
    int failed = 0;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            auto client = server.client();
            for (int i = 0; i < each; ++i) {
                const auto res = client->post("/api/reserve_code", "", "application/x-www-form-urlencoded");
                std::lock_guard<std::mutex> lock(mutex);
                if (!res || res->status != 200) {
                    ++failed;
                } else if (jsonValue(res->body, "status") == "ok") {
                    secrets.push_back(jsonValue(res->body, "code"));
                    codes.push_back(codeOfUrl(jsonValue(res->body, "url")));
                } else if (res->body ==
                               R"({"status":"error","reason":"too many reservations from this address"})" &&
                           res->header("Retry-After") == "60") {
                    ++refused;
                } else {
                    ++failed;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(failed, 0);
    QCOMPARE(static_cast<int>(secrets.size()), options.reservationsPerMinute);
    QCOMPARE(refused, clients * each - options.reservationsPerMinute);
    QCOMPARE(std::set<std::string>(secrets.begin(), secrets.end()).size(), secrets.size());
    QCOMPARE(std::set<std::string>(codes.begin(), codes.end()).size(), codes.size());

    // Each reply came after its row: every secret and every code is a pending row...
    CStore& store = server.service().store();
    for (std::size_t i = 0; i < secrets.size(); ++i) {
        QVERIFY(store.lookupSecret(secrets[i], nowMs()).state == ECodeState::Pending);
        QVERIFY(store.lookup(codes[i], nowMs()).state == ECodeState::Pending);
    }
    // ...and a secret uploads under the very code its reply named.
    auto uploader = server.client();
    for (std::size_t i = 0; i < secrets.size(); i += 83) {
        const auto upload =
            postUpload(*uploader, std::string(), secrets[i], makePng(4, 4, static_cast<unsigned>(i)));
        QVERIFY(upload);
        QCOMPARE(codeOfUrl(jsonValue(upload->body, "url")), codes[i]);
    }
    // And the address stays held: the window slides, the batches did not reset it.
    QVERIFY(reserveCode(*server.client()).empty());
}

void TestServerReservations::sqliteLogStaysBoundedUnderBursts()
{
    // The copies back from the log run on a thread of their own, not in the commits: the log must
    // still be reused rather than grow with every batch.
    QTemporaryDir dir;
    const std::string path = dir.filePath("brightloom.db").toStdString();
    std::vector<SReservation> all;
    {
        CSqliteStore store(path, CHashKey(std::string(64, 'k')));
        for (int batch = 0; batch < 400; ++batch) {
            const auto reserved = store.reserveCodes(100, nowMs(), 60 * 1000);
            all.insert(all.end(), reserved.begin(), reserved.end());
        }
        const qint64 log = QFileInfo(dir.filePath("brightloom.db-wal")).size();
        qInfo("write-ahead log after 40,000 reservations in 400 commits: %lld KiB", log >> 10);
        // Without any copy it would hold every page of every commit: well over 100 MiB here.
        QVERIFY2(log < 48 * 1024 * 1024, std::to_string(log).c_str());
    }
    // Every row is there after the store closed and opened again.
    CSqliteStore reopened(path, CHashKey(std::string(64, 'k')));
    for (std::size_t i = 0; i < all.size(); i += 97)
        QVERIFY(reopened.lookupSecret(all[i].secret, nowMs()).state == ECodeState::Pending);
}

QTEST_GUILESS_MAIN(TestServerReservations)
#include "tst_reservations.moc"
