// The database under the service: files from before schema versions are migrated with every
// picture, newer or foreign files are refused untouched, an upload's rows commit together.

#include "server/hash_key.h"
#include "server/sqlite_schema.h"
#include "server/store.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sqlite3.h>
#include <stdexcept>

using namespace BL::Test;

namespace {

const char form[] = "application/x-www-form-urlencoded";

// A connection of the test's own, beside the service's.
class CDatabase
{
public:
    explicit CDatabase(const QString& path)
    {
        if (sqlite3_open(path.toUtf8().constData(), &m_db) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path.toStdString());
    }
    ~CDatabase() { sqlite3_close(m_db); }
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    void exec(const std::string& sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(message + " in " + sql);
        }
    }
    // The first column of every row, as text.
    QStringList column(const std::string& sql)
    {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string(sqlite3_errmsg(m_db)) + " in " + sql);
        QStringList values;
        while (sqlite3_step(stmt) == SQLITE_ROW)
            values << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        return values;
    }
    QString value(const std::string& sql) { return column(sql).value(0); }

private:
    sqlite3* m_db = nullptr;
};

// The service's tables exactly as they were created before the schema had versions.
const char unversionedSchema[] =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " id INTEGER PRIMARY KEY,"
    " email TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    " hash TEXT NOT NULL UNIQUE,"
    " created_ms INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS codes ("
    " code TEXT PRIMARY KEY,"
    " reserved_ms INTEGER NOT NULL,"
    " expires_ms INTEGER NOT NULL,"
    " uploaded_ms INTEGER,"
    " account_id INTEGER REFERENCES accounts(id),"
    " file1 TEXT, mime1 TEXT, file2 TEXT, mime2 TEXT,"
    " source_url TEXT);"
    "CREATE INDEX IF NOT EXISTS codes_by_account ON codes(account_id, uploaded_ms);"
    "CREATE TABLE IF NOT EXISTS sessions ("
    " token TEXT PRIMARY KEY,"
    " account_id INTEGER NOT NULL REFERENCES accounts(id),"
    " expires_ms INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS reports ("
    " id TEXT PRIMARY KEY,"
    " received_ms INTEGER NOT NULL,"
    " os_type TEXT, build_host_user TEXT, ver TEXT, email TEXT,"
    " file TEXT NOT NULL);";

bool writeFile(const QString& path, const std::string& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(data.data(), static_cast<qint64>(data.size())) == static_cast<qint64>(data.size());
}

std::string sessionFrom(const SReply& res)
{
    const std::string cookie = res.header("Set-Cookie");
    const std::size_t start = cookie.find('=') + 1;
    return cookie.substr(start, cookie.find(';') - start);
}

} // namespace

class TestServerStorage : public QObject
{
    Q_OBJECT

private slots:
    void unversionedDatabaseKeepsEveryPicture();
    void unknownDatabaseIsRefusedUntouched_data();
    void unknownDatabaseIsRefusedUntouched();
    void failedPictureRowLeavesCodeUnclaimed();
    void brokenPictureLeavesNoFile_data();
    void brokenPictureLeavesNoFile();
    void foreignOrBrokenHashKeyIsRefused();
    void anonymousReservationsAreLimitedAndPurged();
    void orphanSweepRemovesOnlyOldFilesWithoutRows();
};

void TestServerStorage::unversionedDatabaseKeepsEveryPicture()
{
    QTemporaryDir dir;
    const QString dbPath = dir.filePath("brightloom.db");
    QVERIFY(QDir().mkpath(dir.filePath("pictures")));
    const std::string single = makePng(31, 17, 1);
    const std::string first = makePng(20, 20, 2);
    const std::string second = makeJpeg(24, 16, 3);
    QVERIFY(writeFile(dir.filePath("pictures/0a1b2c3d4e5f60718293a4b5.png"), single));
    QVERIFY(writeFile(dir.filePath("pictures/1a1b2c3d4e5f60718293a4b5.png"), first));
    QVERIFY(writeFile(dir.filePath("pictures/2a1b2c3d4e5f60718293a4b5.jpg"), second));
    const std::string hash = BL::Server::sha1Hex("old@example.orgold-secret");
    const std::string now = std::to_string(BL::Server::nowMs());
    {
        CDatabase db(dbPath);
        db.exec("PRAGMA journal_mode=WAL");
        db.exec(unversionedSchema);
        db.exec("INSERT INTO accounts VALUES (1, 'old@example.org', '" + hash + "', " + now + " - 9000)");
        db.exec("INSERT INTO codes VALUES ('Single0001', " + now + " - 3000, " + now + " - 3000, " + now +
                " - 3000, 1, '0a1b2c3d4e5f60718293a4b5.png', 'image/png', NULL, NULL,"
                " 'http://example.org/shot.png')");
        db.exec("INSERT INTO codes VALUES ('PairCode01', " + now + " - 2000, " + now + " + 1000, " + now +
                " - 2000, 1, '1a1b2c3d4e5f60718293a4b5.png', 'image/png', '2a1b2c3d4e5f60718293a4b5.jpg',"
                " 'image/jpeg', NULL)");
        db.exec("INSERT INTO codes (code, reserved_ms, expires_ms) VALUES ('Pending001', " + now + ", " +
                now + " + 3600000)");
        QCOMPARE(db.value("PRAGMA user_version"), QStringLiteral("0"));
    }

    BL::Server::SServiceOptions options;
    options.dataDir = dir.path().toStdString();
    const auto expectPictures = [&](CHttpClient& client) {
        const struct
        {
            const char* path;
            const std::string& data;
            const char* type;
        } pictures[] = {{"/Single0001.png", single, "image/png"},
                        {"/PairCode01.png", first, "image/png"},
                        {"/PairCode01-2.png", second, "image/jpeg"}};
        for (const auto& picture : pictures) {
            auto res = client.get(picture.path);
            QVERIFY(res);
            QCOMPARE(res->status, 200);
            QVERIFY2(res->body == picture.data, picture.path);
            QCOMPARE(QString::fromStdString(res->header("Content-Type")), QString::fromLatin1(picture.type));
        }
        QCOMPARE(client.get("/Single0001-2.png")->status, 404);
    };
    QString schemaChanges;
    {
        CTestServer server(options);
        // Already while it runs, no file holds the old row's hash in the clear.
        QVERIFY(readFile(dbPath).find(hash) == std::string::npos);
        QVERIFY(readFile(dbPath + "-wal").find(hash) == std::string::npos);
        auto client = server.client();
        expectPictures(*client);
        if (QTest::currentTestFailed())
            return;
        auto pairPage = client->get("/PairCode01");
        QVERIFY(pairPage->body.find("<img src=\"/PairCode01-2.png\"") != std::string::npos);

        auto signIn = submitForm(*client, "/user/history", "email=old@example.org&password=old-secret");
        QCOMPARE(signIn->status, 303);
        const SHeaders cookie{{"Cookie", "bl_session=" + sessionFrom(*signIn)}};
        const std::string before = client->get("/user/history", cookie)->body;
        const std::size_t pair = before.find("href=\"/PairCode01\"");
        const std::size_t older = before.find("href=\"/Single0001\"");
        QVERIFY2(pair != std::string::npos && older != std::string::npos && pair < older, before.c_str());
        QVERIFY(before.find("PairCode01</a> &middot; ") != std::string::npos);
        QCOMPARE(before.find(" &middot; comparison"), before.rfind(" &middot; comparison"));
        QVERIFY(before.find("from http://example.org/shot.png") != std::string::npos);

        // The code reserved before the migration still takes its upload.
        QVERIFY(client->get("/Pending001")->body.find("Upload in progress") != std::string::npos);
        const std::string late = makePng(12, 12, 4);
        auto upload = postUpload(*client, hash, "Pending001", late);
        QVERIFY(upload);
        QCOMPARE(upload->status, 200);
        QVERIFY(client->get("/Pending001.png")->body == late);
        const std::string after = client->get("/user/history", cookie)->body;
        QVERIFY(after.find("href=\"/Pending001\"") < after.find("href=\"/PairCode01\""));
    }
    {
        CDatabase db(dbPath);
        QCOMPARE(db.value("PRAGMA user_version").toInt(), BL::Server::latestSchemaVersion);
        schemaChanges = db.value("PRAGMA schema_version");
        // The old row's hash is keyed in place, and no copy of it stays in the file.
        const auto key = BL::Server::CHashKey::loadOrCreate(dir.filePath("hash.key").toStdString());
        QCOMPARE(db.value("SELECT hash FROM accounts WHERE id = 1"), QString::fromStdString(key.keyed(hash)));
    }
    QVERIFY(readFile(dbPath).find(hash) == std::string::npos);
    QVERIFY(readFile(dbPath + "-wal").find(hash) == std::string::npos);

    // A second start finds nothing to do.
    {
        CTestServer server(options);
        expectPictures(*server.client());
    }
    CDatabase db(dbPath);
    QCOMPARE(db.value("PRAGMA user_version").toInt(), BL::Server::latestSchemaVersion);
    QCOMPARE(db.value("PRAGMA schema_version"), schemaChanges);
}

void TestServerStorage::unknownDatabaseIsRefusedUntouched_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("message");
    const int newer = BL::Server::latestSchemaVersion + 1;
    QTest::newRow("newer schema version")
        << QStringLiteral("CREATE TABLE codes (code TEXT); PRAGMA user_version = %1").arg(newer)
        << QStringList{QStringLiteral("schema version %1").arg(newer),
                       QStringLiteral("newer than version %1").arg(BL::Server::latestSchemaVersion)};
    QTest::newRow("negative schema version")
        << QStringLiteral("CREATE TABLE codes (code TEXT); PRAGMA user_version = -1")
        << QStringList{QStringLiteral("schema version -1")};
    QTest::newRow("unversioned with foreign tables") << QStringLiteral("CREATE TABLE notes (text TEXT)")
                                                     << QStringList{QStringLiteral("no schema version")};
    QTest::newRow("unversioned codes of another shape")
        << QStringLiteral("CREATE TABLE codes (code TEXT PRIMARY KEY, picture BLOB)")
        << QStringList{QStringLiteral("no schema version")};
}

void TestServerStorage::unknownDatabaseIsRefusedUntouched()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, message);
    QTemporaryDir dir;
    const QString dbPath = dir.filePath("brightloom.db");
    QString schema;
    {
        CDatabase db(dbPath);
        db.exec(setup.toStdString());
        schema = db.column("SELECT sql FROM sqlite_master").join('\n');
    }
    const auto mentionsAll = [&message, &dbPath](const QString& text) {
        for (const QString& part : message)
            if (!text.contains(part) || !text.contains(dbPath))
                return false;
        return true;
    };

    BL::Server::SServiceOptions options;
    options.dataDir = dir.path().toStdString();
    options.listenPort = 0;
    QString refusal;
    try {
        BL::Server::CService service(options);
    } catch (const std::runtime_error& e) {
        refusal = QString::fromUtf8(e.what());
    }
    QVERIFY2(mentionsAll(refusal), qPrintable(refusal));

    QProcess server;
    server.start(QStringLiteral(BL_SERVER_BINARY), {"--listen", "127.0.0.1:0", "--data", dir.path()});
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QVERIFY(server.exitCode() != 0);
    const QString errors = QString::fromUtf8(server.readAllStandardError());
    QVERIFY2(mentionsAll(errors), qPrintable(errors));
    QVERIFY2(!errors.contains(QLatin1String("listening")), qPrintable(errors));

    CDatabase db(dbPath);
    QCOMPARE(db.column("SELECT sql FROM sqlite_master").join('\n'), schema);
    QCOMPARE(db.value("PRAGMA journal_mode"), QStringLiteral("delete"));
}

void TestServerStorage::failedPictureRowLeavesCodeUnclaimed()
{
    CTestServer server;
    auto client = server.client();
    const auto [secret, code] = reserve(*client);
    QVERIFY(!code.empty());
    {
        // Stands for any failure after the claim: the second picture's row is refused.
        CDatabase db(server.dataDir() + "/brightloom.db");
        db.exec("CREATE TRIGGER refuse_second BEFORE INSERT ON pictures WHEN NEW.position = 2"
                " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    }
    const std::string first = makePng(16, 16, 5);
    const std::string second = makePng(16, 16, 6);
    auto pair = postUpload(*client, std::string(), secret, first, &second);
    QVERIFY(pair);
    QCOMPARE(pair->status, 500);
    QCOMPARE(QString::fromStdString(pair->body),
             QString::fromLatin1(R"({"status":"error","reason":"internal error"})"));

    // Neither the claim nor the first picture's row stayed, and the written files went again.
    QVERIFY(client->get(("/" + code).c_str())->body.find("Upload in progress") != std::string::npos);
    QCOMPARE(client->get(("/" + code + ".png").c_str())->status, 404);
    QVERIFY(QDir(server.dataDir() + "/pictures").entryList(QDir::Files | QDir::Hidden).isEmpty());
    auto single = postUpload(*client, std::string(), secret, first);
    QVERIFY(single);
    QCOMPARE(single->status, 200);
    QVERIFY(client->get(("/" + code + ".png").c_str())->body == first);
}

void TestServerStorage::brokenPictureLeavesNoFile_data()
{
    // Large pictures are written while they are checked, small ones only after.
    QTest::addColumn<int>("side");
    QTest::addColumn<bool>("pair");
    QTest::newRow("small") << 40 << false;
    QTest::newRow("large") << 400 << false;
    QTest::newRow("large pair, the second broken") << 400 << true;
}

void TestServerStorage::brokenPictureLeavesNoFile()
{
    QFETCH(int, side);
    QFETCH(bool, pair);
    CTestServer server;
    auto client = server.client();
    const std::string good = makePng(side, side, 7);
    QVERIFY(side < 100 || good.size() > 256 * 1024);
    // One pixel byte changed far into the picture: the signature and the header still say PNG.
    std::string broken = makePng(side, side, 8);
    broken[broken.size() * 3 / 4] ^= 0x55;

    const auto [secret, code] = reserve(*client);
    auto refused = pair ? postUpload(*client, std::string(), secret, good, &broken)
                        : postUpload(*client, std::string(), secret, broken);
    QVERIFY(refused);
    QCOMPARE(QString::fromStdString(refused->body),
             QString::fromLatin1(R"({"status":"error","reason":"not a PNG or JPEG image"})"));
    QCOMPARE(client->get(("/" + code + ".png").c_str())->status, 404);
    QVERIFY(QDir(server.dataDir() + "/pictures").entryList(QDir::Files | QDir::Hidden).isEmpty());

    // A sound picture after it is stored whole.
    const auto [secret2, code2] = reserve(*client);
    auto stored = postUpload(*client, std::string(), secret2, good);
    QVERIFY(stored);
    QCOMPARE(stored->status, 200);
    QVERIFY(client->get(("/" + code2 + ".png").c_str())->body == good);
}

void TestServerStorage::anonymousReservationsAreLimitedAndPurged()
{
    BL::Server::SServiceOptions options;
    options.codeLifetimeMs = 1500;
    options.purgeIntervalMs = 200;
    CTestServer server(options);
    auto client = server.client();
    // A signed-in session, already expired.
    BL::Server::CStore& store = server.service().store();
    const std::string hash = BL::Server::sha1Hex("purge@example.orgpurge-me");
    QVERIFY(store.createAccount("purge@example.org", hash, BL::Server::nowMs()) == BL::Server::ESignup::Ok);
    store.createSession(std::string(64, 'a'), store.accountForHash(hash), BL::Server::nowMs() - 1);

    int reserved = 0;
    int limited = 0;
    std::string lastRefusal;
    for (int i = 0; i < 10000; ++i) {
        auto res = client->post("/api/reserve_code", "", "application/x-www-form-urlencoded");
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        if (jsonValue(res->body, "status") == "ok") {
            ++reserved;
        } else {
            ++limited;
            lastRefusal = res->body;
        }
    }
    qInfo("10000 reservations from one address: %d taken, %d refused", reserved, limited);
    QCOMPARE(reserved, options.reservationsPerMinute);
    QCOMPARE(QString::fromStdString(lastRefusal),
             QString::fromLatin1(R"({"status":"error","reason":"too many reservations from this address"})"));
    // Still limited after the loop: the window slides, it does not start afresh.
    QVERIFY(reserveCode(*client).empty());

    CDatabase db(server.dataDir() + "/brightloom.db");
    QTRY_COMPARE_WITH_TIMEOUT(db.value("SELECT COUNT(*) FROM codes").toInt(), 0, 10000);
    QCOMPARE(db.value("SELECT COUNT(*) FROM sessions").toInt(), 0);
}

void TestServerStorage::orphanSweepRemovesOnlyOldFilesWithoutRows()
{
    QTemporaryDir dir;
    BL::Server::SServiceOptions options;
    options.dataDir = dir.path().toStdString();
    std::vector<std::pair<std::string, std::string>> uploaded; // code, picture
    {
        CTestServer server(options);
        auto client = server.client();
        for (unsigned i = 0; i < 3; ++i) {
            const std::string png = makePng(12, 12, 40 + i);
            auto res = postUpload(*client, std::string(), std::string(), png);
            QVERIFY(res);
            uploaded.emplace_back(codeOfUrl(jsonValue(res->body, "url")), png);
        }
    }
    // The pictures with rows are old too: age alone must not remove them.
    const QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
    for (const QString& name : QDir(dir.filePath("pictures")).entryList(QDir::Files)) {
        QFile file(dir.filePath("pictures/" + name));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(hourAgo, QFileDevice::FileModificationTime));
    }

    // What a crash between rename and commit leaves: files no row names, one of them old.
    const QString oldOrphan = dir.filePath("pictures/0123456789abcdef01234567.png");
    const QString youngOrphan = dir.filePath("pictures/fedcba9876543210fedcba98.png");
    const QString oldReport = dir.filePath("reports/00000000-orphan.dmp");
    QVERIFY(QDir().mkpath(dir.filePath("reports")));
    for (const QString& path : {oldOrphan, youngOrphan, oldReport})
        QVERIFY(writeFile(path, makePng(4, 4, 9)));
    for (const QString& path : {oldOrphan, oldReport}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(hourAgo, QFileDevice::FileModificationTime));
    }

    CTestServer server(options);
    QVERIFY(!QFile::exists(oldOrphan));
    QVERIFY(!QFile::exists(oldReport));
    QVERIFY(QFile::exists(youngOrphan));
    auto client = server.client();
    for (const auto& [code, png] : uploaded)
        QVERIFY2(client->get(("/" + code + ".png").c_str())->body == png, code.c_str());
}

void TestServerStorage::foreignOrBrokenHashKeyIsRefused()
{
    QTemporaryDir dir;
    BL::Server::SServiceOptions options;
    options.dataDir = dir.path().toStdString();
    const QString keyPath = dir.filePath("hash.key");
    {
        CTestServer server(options);
        QCOMPARE(submitForm(*server.client(), "/signup", "email=k@example.org&password=key-holder")->status,
                 200);
    }
    const std::string original = readFile(keyPath);
    QCOMPARE(original.size(), std::size_t(65));
    const auto refusal = [&options] {
        try {
            BL::Server::CService service(options);
        } catch (const std::runtime_error& e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    };
    // Another key would make every account unreachable: the service does not start with it.
    QVERIFY(writeFile(keyPath, std::string(64, 'a') + "\n"));
    QVERIFY2(refusal().contains("keyed with another hash key"), qPrintable(refusal()));
    QVERIFY(writeFile(keyPath, "short\n"));
    QVERIFY2(refusal().contains("holds no key"), qPrintable(refusal()));
    QCOMPARE(readFile(keyPath), std::string("short\n"));

    // With its own key back, and that key's permissions loosened, all is as before.
    QVERIFY(writeFile(keyPath, original));
    QVERIFY(QFile::setPermissions(keyPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    CTestServer server(options);
    QCOMPARE(QFile::permissions(keyPath) & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
    const std::string hash = BL::Server::sha1Hex("k@example.orgkey-holder");
    QCOMPARE(server.client()->post("/api/check_hash", "hash=" + hash + "&uuid=u", form)->body,
             std::string(R"({"exists":true})"));
}

QTEST_GUILESS_MAIN(TestServerStorage)
#include "tst_storage.moc"
