// Reserved codes on SQLite and on PostgreSQL alike. Bursts of reservations, which the service
// commits together: every client gets a code of its own that is a row before its reply, and the
// per-address limit holds to the request however the burst was cut into batches. And every state
// a code goes through reads, and refuses an upload, the same way on both stores.

#include "postgres_cluster.h"
#include "server/hash_key.h"
#include "server/pg_connection.h"
#include "server/pg_store.h"
#include "server/sqlite_store.h"
#include "server/store.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sqlite3.h>
#include <thread>
#include <vector>

using namespace BL::Test;
using namespace BL::Server;

namespace {

// Moves a code's expiry an hour back, as if it had been reserved long ago.
const char ageCode[] = "UPDATE codes SET expires_ms = expires_ms - 3600000 WHERE code = ";
// Move the end of a code's pictures two hours back, as if their time had run out.
const char endCode[] = "UPDATE codes SET ends_ms = ends_ms - 7200000 WHERE code = ";
const char endPictures[] = "UPDATE pictures SET ends_ms = ends_ms - 7200000 WHERE code = ";

// Runs one of the updates above on the row of `code`, which must change one row.
void updateInSqlite(const std::string& path, const char* update, const std::string& code)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    // Codes are letters and digits only.
    const int rc = sqlite3_exec(db, (update + ("'" + code + "'")).c_str(), nullptr, nullptr, nullptr);
    const int changed = sqlite3_changes(db);
    sqlite3_close(db);
    if (rc != SQLITE_OK || changed != 1)
        throw std::runtime_error("cannot update code " + code);
}

const char* nameOf(ECodeState state)
{
    const char* const names[] = {"Unknown", "Pending", "Expired",       "Uploaded",
                                 "Failed",  "Deleted", "PictureExpired"};
    return names[static_cast<int>(state)];
}

const char* nameOf(EClaim claim)
{
    const char* const names[] = {"Ok", "Unknown", "Used", "Expired", "Failed", "Deleted"};
    return names[static_cast<int>(claim)];
}

} // namespace

class TestServerReservations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void burstsGetOneRowEachWithinTheLimit_data();
    void burstsGetOneRowEachWithinTheLimit();
    void sqliteLogStaysBoundedUnderBursts();
    void everyStateReadsAndRefusesAlike_data();
    void everyStateReadsAndRefusesAlike();

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

void TestServerReservations::everyStateReadsAndRefusesAlike_data()
{
    burstsGetOneRowEachWithinTheLimit_data();
}

void TestServerReservations::everyStateReadsAndRefusesAlike()
{
    QFETCH(bool, postgres);
    QTemporaryDir dir;
    const CHashKey key(std::string(64, 'k'));
    std::unique_ptr<CStore> store;
    std::function<void(const char*, const std::string&)> update;
    if (postgres) {
        const std::string database = m_cluster->createDatabase("states");
        store = std::make_unique<CPgStore>(database, key, 2);
        update = [database](const char* sql, const std::string& code) {
            CPgConnection connection(database);
            if (connection.exec((std::string(sql) + "$1").c_str(), {code}).affected() != 1)
                throw std::runtime_error("cannot update code " + code);
        };
    } else {
        const std::string path = dir.filePath("states.db").toStdString();
        store = std::make_unique<CSqliteStore>(path, key);
        update = [path](const char* sql, const std::string& code) { updateInSqlite(path, sql, code); };
    }
    const auto age = [&](const std::string& code) { update(ageCode, code); };
    // The node's clock for SQLite; PostgreSQL keeps to its own, which agrees.
    const std::int64_t now = nowMs();
    const std::vector<SPictureFile> picture{{"p.png", "image/png"}};
    const auto read = [&](const SReservation& reservation) {
        return QStringLiteral("%1/%2").arg(nameOf(store->lookup(reservation.code, now).state),
                                           nameOf(store->lookupSecret(reservation.secret, now).state));
    };
    std::string used;
    const auto upload = [&](const std::string& secret) {
        used.clear();
        return QString(nameOf(store->storeUpload(secret, now, 0, picture, std::string(), &used)));
    };
    const auto reserve = [&] { return store->reserveCode(now, 60000); };

    // A pending code reads as pending by its code and by its secret, never one for the other; only
    // the secret uploads.
    const SReservation pending = reserve();
    QCOMPARE(pending.code.size(), std::size_t(10));
    QCOMPARE(pending.secret.size(), std::size_t(24));
    QCOMPARE(read(pending), QStringLiteral("Pending/Pending"));
    QCOMPARE(read({pending.secret, pending.code}), QStringLiteral("Unknown/Unknown"));
    QCOMPARE(upload(pending.code), QStringLiteral("Unknown"));
    QCOMPARE(read(pending), QStringLiteral("Pending/Pending"));

    // Expired, failed, and failed long ago: the refusal says why and changes nothing.
    const SReservation expired = reserve();
    age(expired.code);
    const SReservation failed = reserve();
    store->failCode(failed.secret, now);
    const SReservation failedLongAgo = reserve();
    store->failCode(failedLongAgo.secret, now);
    age(failedLongAgo.code);
    QCOMPARE(read(expired), QStringLiteral("Expired/Expired"));
    QCOMPARE(read(failed), QStringLiteral("Failed/Failed"));
    QCOMPARE(read(failedLongAgo), QStringLiteral("Failed/Failed"));
    QCOMPARE(upload(expired.secret), QStringLiteral("Expired"));
    QCOMPARE(upload(failed.secret), QStringLiteral("Failed"));
    QCOMPARE(upload(failedLongAgo.secret), QStringLiteral("Failed"));
    QCOMPARE(read(expired), QStringLiteral("Expired/Expired"));
    QCOMPARE(read(failed), QStringLiteral("Failed/Failed"));
    QCOMPARE(read(failedLongAgo), QStringLiteral("Failed/Failed"));
    // A failed code takes no later failure either: it keeps reading as failed, not as pending.
    store->failCode(failed.secret, now);
    QCOMPARE(read(failed), QStringLiteral("Failed/Failed"));

    // An uploaded code stays uploaded after its reservation ran out, and takes no second upload.
    const SReservation uploaded = reserve();
    QCOMPARE(upload(uploaded.secret), QStringLiteral("Ok"));
    QCOMPARE(used, uploaded.code);
    const SReservation uploadedLongAgo = reserve();
    QCOMPARE(upload(uploadedLongAgo.secret), QStringLiteral("Ok"));
    age(uploadedLongAgo.code);
    store->failCode(uploaded.secret, now);
    for (const SReservation& reservation : {uploaded, uploadedLongAgo}) {
        QCOMPARE(read(reservation), QStringLiteral("Uploaded/Uploaded"));
        QCOMPARE(upload(reservation.secret), QStringLiteral("Used"));
        const SCodeInfo info = store->lookupSecret(reservation.secret, now);
        QCOMPARE(info.files.size(), std::size_t(1));
        QCOMPARE(info.files[0].name, picture[0].name);
        QCOMPARE(info.files[0].mime, picture[0].mime);
        QVERIFY(info.uploadedMs > 0);
    }

    // An upload without a reserved code gets a fresh public code, uploaded at once; its secret is
    // nobody's.
    QCOMPARE(upload(std::string()), QStringLiteral("Ok"));
    QCOMPARE(used.size(), std::size_t(10));
    QVERIFY(used != pending.code && used != uploaded.code);
    const SCodeInfo fresh = store->lookup(used, now);
    QCOMPARE(nameOf(fresh.state), "Uploaded");
    QCOMPARE(fresh.files.size(), std::size_t(1));
    QCOMPARE(store->lookupSecret(used, now).state, ECodeState::Unknown);

    // Deleted by the secret, uploaded or still pending: the pictures' rows go, the row stays and
    // refuses every later upload and deletion.
    const auto remove = [&](const std::string& secret) {
        const SDeletion deletion = store->deleteBySecret(secret, now);
        return deletion.ok ? QStringLiteral("Ok %1 %2")
                                 .arg(QString::fromStdString(deletion.code))
                                 .arg(deletion.files.size())
                           : QString(nameOf(deletion.refusedIn));
    };
    const SReservation deletedPending = reserve();
    QCOMPARE(remove(deletedPending.secret),
             QStringLiteral("Ok %1 0").arg(QString::fromStdString(deletedPending.code)));
    QCOMPARE(remove(uploaded.secret), QStringLiteral("Ok %1 1").arg(QString::fromStdString(uploaded.code)));
    for (const SReservation& reservation : {deletedPending, uploaded}) {
        QCOMPARE(read(reservation), QStringLiteral("Deleted/Deleted"));
        QCOMPARE(upload(reservation.secret), QStringLiteral("Deleted"));
        QCOMPARE(remove(reservation.secret), QStringLiteral("Deleted"));
        QVERIFY(store->lookup(reservation.code, now).files.empty());
    }
    QCOMPARE(remove(expired.secret), QStringLiteral("Expired"));
    QCOMPARE(remove(failed.secret), QStringLiteral("Failed"));
    QCOMPARE(remove(pending.code), QStringLiteral("Unknown"));
    QCOMPARE(read(expired), QStringLiteral("Expired/Expired"));
    QCOMPARE(read(failed), QStringLiteral("Failed/Failed"));

    // The owner deletes by the public code; to another account the code is unknown.
    QCOMPARE(store->createAccount("own@example.org", sha1Hex("own"), now), ESignup::Ok);
    const std::int64_t owner = store->accountForHash(sha1Hex("own"));
    std::string owned;
    // With the sizes of the pictures and the previews made of them.
    SUpload pair{std::string(),
                 owner,
                 {{"o1.png", "image/png", 40, 30}, {"o2.jpg", "image/jpeg", 20, 60}},
                 {},
                 0,
                 {"ot.png", "image/png", 32, 24},
                 {"op.png", "image/png", 76, 30}};
    QCOMPARE(store->storeUpload(pair, now, &owned), EClaim::Ok);
    const SCodeInfo sized = store->lookup(owned, now);
    QCOMPARE(sized.files.size(), std::size_t(2));
    QCOMPARE(sized.files[1].name + " " + std::to_string(sized.files[1].width) + "x" +
                 std::to_string(sized.files[1].height),
             std::string("o2.jpg 20x60"));
    QCOMPARE(sized.thumbnail.name + " " + std::to_string(sized.thumbnail.width), std::string("ot.png 32"));
    QCOMPARE(sized.pairPreview.name + " " + std::to_string(sized.pairPreview.height),
             std::string("op.png 30"));
    QCOMPARE(store->history(owner, 10, now).front().thumbnail.name, std::string("ot.png"));
    std::vector<std::string> named = store->referencedFiles();
    QVERIFY(std::find(named.begin(), named.end(), "op.png") != named.end());
    const SDeletion stranger = store->deleteOwned(owned, owner + 1, now);
    QVERIFY(!stranger.ok);
    QCOMPARE(nameOf(stranger.refusedIn), "Unknown");
    QCOMPARE(store->history(owner, 10, now).size(), std::size_t(1));
    const SDeletion own = store->deleteOwned(owned, owner, now);
    QVERIFY(own.ok);
    QCOMPARE(own.files, (std::vector<std::string>{"o1.png", "o2.jpg", "ot.png", "op.png"}));
    QVERIFY(store->lookup(owned, now).thumbnail.name.empty());
    QCOMPARE(nameOf(store->deleteOwned(owned, owner, now).refusedIn), "Deleted");
    QCOMPARE(nameOf(store->lookup(owned, now).state), "Deleted");
    QVERIFY(store->history(owner, 10, now).empty());
    named = store->referencedFiles();
    for (const char* gone : {"o1.png", "ot.png", "op.png"})
        QVERIFY(std::find(named.begin(), named.end(), gone) == named.end());

    // Pictures kept for an hour: uploaded, they read as such until their end, then as expired; the
    // code takes no upload or deletion, and the purge takes their rows, once, and leaves the code.
    const SReservation kept = store->reserveCode(now, 60000, 3600 * 1000);
    const SReservation keptFresh = store->reserveCode(now, 60000, 3600 * 1000);
    SUpload keptUpload{
        kept.secret, 0, {{"k.png", "image/png", 40, 30}}, {}, 0, {"kt.png", "image/png", 32, 24}, {}};
    QCOMPARE(nameOf(store->storeUpload(keptUpload, now, &used)), "Ok");
    QCOMPARE(upload(keptFresh.secret), QStringLiteral("Ok"));
    const std::int64_t endsMs = store->lookup(kept.code, now).endsMs;
    QVERIFY2(endsMs >= now + 3600 * 1000 && endsMs < now + 3660 * 1000,
             qPrintable(QString::number(endsMs - now)));
    QCOMPARE(store->lookup(uploadedLongAgo.code, now).endsMs, std::int64_t(0));
    update(endCode, kept.code);
    update(endPictures, kept.code);
    QCOMPARE(read(kept), QStringLiteral("PictureExpired/PictureExpired"));
    QVERIFY(store->lookup(kept.code, now).files.empty());
    QCOMPARE(read(keptFresh), QStringLiteral("Uploaded/Uploaded"));
    QCOMPARE(upload(kept.secret), QStringLiteral("Used"));
    QCOMPARE(remove(kept.secret), QStringLiteral("PictureExpired"));
    QCOMPARE(store->purgeExpiredPictures(now, 100), (std::vector<std::string>{"k.png", "kt.png"}));
    QVERIFY(store->purgeExpiredPictures(now, 100).empty());
    QCOMPARE(store->lookup(keptFresh.code, now).files.size(), std::size_t(1));

    // Purging expired codes takes the expired reservation and leaves the tombstones, however old.
    age(deletedPending.code);
    store->purgeExpired(now);
    QCOMPARE(read(expired), QStringLiteral("Unknown/Unknown"));
    QCOMPARE(read(deletedPending), QStringLiteral("Deleted/Deleted"));
    QCOMPARE(read(kept), QStringLiteral("PictureExpired/PictureExpired"));

    // What was never reserved.
    QCOMPARE(read({"NoSuchCode", "NoSuchSecret"}), QStringLiteral("Unknown/Unknown"));
    QCOMPARE(upload("NoSuchSecret"), QStringLiteral("Unknown"));
}

QTEST_GUILESS_MAIN(TestServerReservations)
#include "tst_reservations.moc"
