// A service node whose PostgreSQL freezes (every server process stopped) or goes down while
// uploads run: the real binary against a throw-away cluster started by the test.

#include "postgres_cluster.h"
#include "server/util.h"
#include "server_process.h"
#include "server_test_support.h"

#include <QtTest>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace BL::Test;

namespace {

enum class EOutcome { Stored, Refused, NoAnswer };

struct SUpload
{
    int phase = 0;
    EOutcome outcome = EOutcome::NoAnswer;
    std::string body;
    std::string code;
    std::string picture;
};

} // namespace

class TestServerPostgresOutage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nodeRidesOutAFrozenAndARestartedDatabase();

private:
    // The phase each uploader has finished an upload started in, at least once.
    bool everyUploaderFinishedIn(int phase, int stored);

    std::unique_ptr<CPostgresCluster> m_cluster;
    std::mutex m_mutex;
    std::vector<std::vector<SUpload>> m_uploads;
};

void TestServerPostgresOutage::initTestCase()
{
    m_cluster = std::make_unique<CPostgresCluster>();
    QVERIFY2(m_cluster->error().isEmpty(), qPrintable(m_cluster->error()));
}

bool TestServerPostgresOutage::everyUploaderFinishedIn(int phase, int stored)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& uploads : m_uploads) {
        int seen = 0;
        for (const SUpload& upload : uploads)
            seen += upload.phase == phase && (stored == 0 || upload.outcome == EOutcome::Stored);
        if (seen < std::max(stored, 1))
            return false;
    }
    return true;
}

void TestServerPostgresOutage::nodeRidesOutAFrozenAndARestartedDatabase()
{
    const std::string database = m_cluster->createDatabase("outage");
    QTemporaryDir shared;
    CServerProcess node(shared.filePath("data"), shared.filePath("log"),
                        {"--quiet", "--database", QString::fromStdString(database), "--objects",
                         shared.filePath("objects"), "--hash-key", shared.filePath("hash.key"),
                         "--public-url", "http://shots.example.test", "--connections-per-address", "0"});
    QVERIFY2(node.port > 0, node.logText().c_str());
    // A balancer's probe: its answer must come within 2 s, or the probe counts as failed.
    const auto health = [&node] {
        auto client = loopbackClient(node.port);
        client->setTimeoutMs(2 * 1000);
        auto res = client->get("/healthz");
        return res ? res->status : 0;
    };
    QCOMPARE(health(), 200);

    constexpr int uploaders = 4;
    std::atomic<int> phase{0};
    std::atomic<bool> stopping{false};
    m_uploads.assign(uploaders, {});
    std::vector<std::thread> threads;
    for (int i = 0; i < uploaders; ++i) {
        threads.emplace_back([&, i] {
            auto client = loopbackClient(node.port);
            client->setTimeoutMs(30 * 1000);
            for (unsigned n = 0; !stopping; ++n) {
                SUpload upload;
                upload.phase = phase;
                upload.picture = makePng(40, 40, 1000 * i + n);
                auto res = postUpload(*client, std::string(), std::string(), upload.picture);
                if (res) {
                    upload.body = res->body;
                    upload.outcome =
                        jsonValue(res->body, "status") == "ok" ? EOutcome::Stored : EOutcome::Refused;
                    upload.code = codeOfUrl(jsonValue(res->body, "url"));
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                m_uploads[i].push_back(upload);
            }
        });
    }
    auto joinUploaders = qScopeGuard([&] {
        stopping = true;
        for (std::thread& thread : threads)
            thread.join();
    });
    QTRY_VERIFY_WITH_TIMEOUT(everyUploaderFinishedIn(0, 2), 20000);

    // Frozen: connections stay open and nothing answers.
    QVERIFY(m_cluster->pause());
    auto resume = qScopeGuard([this] { m_cluster->resume(); });
    phase = 1;
    QCOMPARE(health(), 503);
    QTRY_VERIFY_WITH_TIMEOUT(everyUploaderFinishedIn(1, 0), 60000);
    QCOMPARE(health(), 503);
    m_cluster->resume();
    phase = 2;
    QTRY_COMPARE_WITH_TIMEOUT(health(), 200, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(everyUploaderFinishedIn(2, 2), 60000);

    // Down, as after a crash, and started again.
    m_cluster->stop();
    phase = 3;
    QCOMPARE(health(), 503);
    QTRY_VERIFY_WITH_TIMEOUT(everyUploaderFinishedIn(3, 0), 60000);
    QVERIFY2(m_cluster->start(), qPrintable(m_cluster->error()));
    phase = 4;
    QTRY_COMPARE_WITH_TIMEOUT(health(), 200, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(everyUploaderFinishedIn(4, 2), 60000);
    joinUploaders.dismiss();
    stopping = true;
    for (std::thread& thread : threads)
        thread.join();

    // Every upload got an answer; the ones the database could not take were refused with a
    // reason (each uploader had one finished while the database was frozen, and one while it was
    // down), and every one stored is served.
    QCOMPARE(node.process.state(), QProcess::Running);
    int refusedWhileOut = 0;
    auto client = loopbackClient(node.port);
    for (const auto& uploads : m_uploads) {
        for (const SUpload& upload : uploads) {
            QVERIFY2(upload.outcome != EOutcome::NoAnswer, "an upload got no answer");
            if (upload.outcome == EOutcome::Refused) {
                QVERIFY2(jsonValue(upload.body, "status") == "error" &&
                             !jsonValue(upload.body, "reason").empty(),
                         upload.body.c_str());
                refusedWhileOut += upload.phase == 1 || upload.phase == 3;
                continue;
            }
            auto picture = client->get(("/" + upload.code + ".png").c_str());
            QVERIFY(picture);
            QCOMPARE(picture->status, 200);
            QVERIFY(picture->body == upload.picture);
        }
    }
    QVERIFY(refusedWhileOut >= 2 * uploaders);
}

QTEST_GUILESS_MAIN(TestServerPostgresOutage)
#include "tst_pg_outage.moc"
