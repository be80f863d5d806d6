// The real brightloom-server binary: command line, signals, restarts and a kill -9 mid-upload.

#include "server/sqlite_store.h"
#include "server/util.h"
#include "server_process.h"
#include "server_test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace BL::Test;

namespace {

const char form[] = "application/x-www-form-urlencoded";

struct SRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

SRun runServer(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(BL_SERVER_BINARY), arguments);
    SRun run;
    if (!process.waitForFinished(5000))
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine();
    void everyOptionOfTheHelpIsParsedAndRefusedInItsOwnWords();
    void restartKeepsAccountsCodesAndPictures();
    void killDuringUploadsLosesNothingAcknowledged();
    void storedHashesAreKeyedAndGuessingIsLimited();
    void failedChecksCountTheClientBehindTheProxy();
    void sigtermFinishesTheUploadUnderWay();
};

void TestServerProcess::initTestCase()
{
    // A server killed or refusing mid-upload leaves the uploading clients writing into a closed
    // connection; that must fail the write, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
}

void TestServerProcess::commandLine()
{
    QProcess help;
    help.start(QStringLiteral(BL_SERVER_BINARY), {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char* option :
         {"--listen", "--data", "--public-url", "--max-upload-mb", "--allow-private-fetch", "--code-expiry"})
        QVERIFY2(text.contains(QLatin1String(option)), option);
    for (const QStringList& bad :
         {QStringList{"--bogus"}, QStringList{"--listen", "nowhere"}, QStringList{"--max-upload-mb", "0"},
          QStringList{"--public-url", "http://a,b"}}) {
        QTemporaryDir dir;
        QProcess run;
        run.start(QStringLiteral(BL_SERVER_BINARY), bad + QStringList{"--data", dir.path()});
        QVERIFY(run.waitForFinished(5000));
        QVERIFY2(run.exitCode() != 0, qPrintable(bad.join(' ')));
    }

    // Default public URL: the listen address; a given one is used without its trailing slash.
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--public-url", "https://shots.example.org/"});
    QVERIFY(server.port > 0);
    auto reply = loopbackClient(server.port)->post("/api/reserve_code", "", form);
    QVERIFY(reply);
    QVERIFY(jsonValue(reply->body, "url").rfind("https://shots.example.org/", 0) == 0);
    QCOMPARE(static_cast<int>(codeOfUrl(jsonValue(reply->body, "url")).size()), 10);
}

void TestServerProcess::everyOptionOfTheHelpIsParsedAndRefusedInItsOwnWords()
{
    // Each option that takes a value: what it says when the value is missing or refused, a value
    // it takes and values it refuses. The words and status 2 are all an operator's typing error gets.
    struct SOptionCase
    {
        QString option;
        QString needs;
        QString good;
        QStringList bad;
    };
    QTemporaryDir dir;
    const QList<SOptionCase> cases = {
        {"--listen", "HOST:PORT", "[::1]:0", {"nowhere", ":80", "127.0.0.1:65536", "127.0.0.1:"}},
        {"--data", "a directory", dir.path(), {""}},
        {"--public-url", "a URL", "http://127.0.0.1:1", {""}},
        {"--database", "a PostgreSQL URL", "postgresql://127.0.0.1:1/x", {""}},
        {"--db-connections", "a number from 1 to 1000", "1000", {"0", "1001", "8x"}},
        {"--objects", "a directory", dir.path(), {""}},
        {"--hash-key", "a file", dir.filePath("key"), {""}},
        {"--max-upload-mb", "a number from 1 to 1024", "1024", {"0", "1025", ""}},
        {"--code-expiry", "a number of seconds", "315360000", {"0", "315360001"}},
        {"--max-expiry", "a number of seconds", "0", {"-1", "315360001", "1h"}},
        {"--disk-quota-mb", "a number of MiB", "0", {"-1", "1073741825"}},
        {"--trusted-proxy", "an address", "127.0.0.2", {""}},
        {"--rate-limits",
         "four numbers of at least 1, separated by commas",
         "1,1,1,1",
         {"1,2,3", "0,1,1,1", "1,1,1,1,", "1,1,1,1x"}},
        {"--upload-limits", "two numbers of at least 1, separated by a comma", "1,1", {"1", "0,1", "1,1x"}},
        {"--request-timeout", "a number of seconds from 1 to 3600", "3600", {"0", "3601"}},
        {"--keep-alive-timeout", "a number of seconds from 1 to 3600", "1", {"0", "3601"}},
        {"--requests-per-connection", "a number from 1 to 1000000", "1", {"0", "1000001"}},
        {"--worker-threads", "a number from 1 to 1024", "1024", {"0", "1025"}},
        {"--connections-per-address", "a number", "0", {"-1", "100001"}},
        {"--admin-token", "a token of at least 16 characters", "0123456789abcdef", {"0123456789abcde"}},
        {"--symbols", "a directory", dir.path(), {""}},
        {"--copy-to-database", "a PostgreSQL URL", "postgresql://127.0.0.1:1/x", {""}},
    };
    const QStringList flags = {"--allow-private-fetch", "--quiet", "--help"};

    const SRun help = runServer({"--help"});
    QCOMPARE(help.exitCode, 0);
    QCOMPARE(runServer({"-h"}).out, help.out);
    // The options the help lists, each with its argument's name when it takes one.
    QMap<QString, QString> listed;
    const QRegularExpression entry(QStringLiteral("^  (--[a-z-]+)(?: ([^ ]+))?(?:  |$)"),
                                   QRegularExpression::MultilineOption);
    for (auto it = entry.globalMatch(help.out); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        listed.insert(match.captured(1), match.captured(2));
    }
    QStringList known = flags;
    for (const SOptionCase& c : cases)
        known << c.option;
    QStringList names = listed.keys();
    names.sort();
    known.sort();
    QCOMPARE(names, known);
    for (const QString& flag : flags)
        QVERIFY2(listed.value(flag).isEmpty(), qPrintable(flag));

    // Every good value at once: the parser gets through all of them to --help.
    QStringList everything = {"--allow-private-fetch", "--quiet"};
    for (const SOptionCase& c : cases) {
        QVERIFY2(!listed.value(c.option).isEmpty(), qPrintable(c.option + " lists no argument"));
        everything << c.option << c.good;
    }
    const SRun all = runServer(everything << "--help");
    QCOMPARE(all.err, QString());
    QCOMPARE(all.exitCode, 0);
    QCOMPARE(all.out, help.out);

    // Should a value be taken by mistake, the service this starts stays off 8480 and the real data.
    const QStringList safe = {"--listen", "127.0.0.1:0", "--data", dir.path()};
    for (const SOptionCase& c : cases) {
        const QString refusal =
            "brightloom-server: " + c.option + " needs " + c.needs + "\nTry 'brightloom-server --help'.\n";
        const SRun missing = runServer(safe + QStringList{c.option});
        QCOMPARE(missing.err, refusal);
        QCOMPARE(missing.exitCode, 2);
        for (const QString& bad : c.bad) {
            const SRun refused = runServer(safe + QStringList{c.option, bad, "--help"});
            QVERIFY2(refused.err == refusal, qPrintable(c.option + " " + bad + ": " + refused.err));
            QCOMPARE(refused.exitCode, 2);
            QCOMPARE(refused.out, QString());
        }
    }
    const SRun unknown = runServer(safe + QStringList{"--bogus", "--help"});
    QCOMPARE(unknown.err,
             QString("brightloom-server: unknown option --bogus\nTry 'brightloom-server --help'.\n"));
    QCOMPARE(unknown.exitCode, 2);
}

void TestServerProcess::restartKeepsAccountsCodesAndPictures()
{
    QTemporaryDir dir;
    const std::string png = makePng(50, 40, 40);
    std::string pending;
    std::string uploaded;
    {
        CServerProcess server(dir.path(), dir.filePath("log1"));
        QVERIFY(server.port > 0);
        auto client = loopbackClient(server.port);
        QCOMPARE(submitForm(*client, "/signup", "email=keep@example.org&password=keep-me")->status, 200);
        pending = reserveCode(*client);
        uploaded = codeOfUrl(jsonValue(postUpload(*client, "", "", png)->body, "url"));
        QVERIFY(!pending.empty() && !uploaded.empty());

        // SIGTERM: a clean stop with exit status 0.
        ::kill(static_cast<pid_t>(server.process.processId()), SIGTERM);
        QVERIFY(server.process.waitForFinished(5000));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        const std::string log = server.logText();
        // One access line per request.
        QVERIFY(log.find("127.0.0.1 \"POST /signup\" 200") != std::string::npos);
        QVERIFY(log.find("127.0.0.1 \"POST /api/reserve_code\" 200") != std::string::npos);
        QVERIFY(log.find("127.0.0.1 \"POST /api/upload.php\" 200") != std::string::npos);
        QVERIFY(log.find("stopped") != std::string::npos);
    }
    CServerProcess server(dir.path(), dir.filePath("log2"));
    QVERIFY(server.port > 0);
    auto client = loopbackClient(server.port);
    const std::string hash = BL::Server::sha1Hex("keep@example.orgkeep-me");
    QCOMPARE(QString::fromStdString(client->post("/api/check_hash", "hash=" + hash + "&uuid=u", form)->body),
             QString::fromLatin1(R"({"exists":true})"));
    QVERIFY(client->get(("/" + uploaded + ".png").c_str())->body == png);
    // A code reserved before the restart can still take its upload.
    QCOMPARE(postUpload(*client, hash, pending, png)->status, 200);
    QCOMPARE(QString::fromStdString(postUpload(*client, hash, pending, png)->body),
             QString::fromLatin1(R"({"status":"error","reason":"code already used"})"));
}

void TestServerProcess::killDuringUploadsLosesNothingAcknowledged()
{
    QTemporaryDir dir;
    std::vector<std::string> pictures;
    for (unsigned i = 0; i < 20; ++i)
        pictures.push_back(makePng(300, 300, 500 + i)); // about 270 KB each: slow enough to be caught mid-way
    std::mutex lock;
    std::map<std::string, int> acknowledged; // code -> picture index
    {
        CServerProcess server(dir.path(), dir.filePath("log1"), {"--quiet"});
        QVERIFY(server.port > 0);
        std::atomic<bool> killed{false};
        std::atomic<int> interrupted{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) {
            threads.emplace_back([&, i] {
                // A bounded stream per thread, so uploads are in flight whenever the kill comes.
                for (int round = 0; round < 20 && !killed.load(); ++round) {
                    auto client = loopbackClient(server.port);
                    auto res = postUpload(*client, "", reserveCode(*client), pictures[i]);
                    if (res && res->status == 200) {
                        std::lock_guard<std::mutex> guard(lock);
                        acknowledged[codeOfUrl(jsonValue(res->body, "url"))] = i;
                    } else if (!res) {
                        ++interrupted;
                    }
                }
            });
        }
        for (int wait = 0; wait < 400; ++wait) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (acknowledged.size() >= 20)
                    break;
            }
            QTest::qSleep(10);
        }
        server.process.kill(); // SIGKILL
        killed = true;
        QVERIFY(server.process.waitForFinished(5000));
        for (auto& thread : threads)
            thread.join();
        // The kill must really have cut uploads short, or this proves nothing.
        QVERIFY(interrupted.load() > 0);
        qInfo("%d uploads acknowledged, %d cut off by the kill", static_cast<int>(acknowledged.size()),
              interrupted.load());
    }
    QVERIFY(!acknowledged.empty());

    CServerProcess server(dir.path(), dir.filePath("log2"), {"--quiet"});
    QVERIFY2(server.port > 0, server.logText().c_str());
    auto client = loopbackClient(server.port);
    for (const auto& [code, index] : acknowledged) {
        auto res = client->get(("/" + code + ".png").c_str());
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QVERIFY2(res->body == pictures[index], code.c_str());
    }
    // No row names a missing file, and the restart swept away half-written temporaries.
    BL::Server::CSqliteStore store(
        dir.filePath("brightloom.db").toStdString(),
        BL::Server::CHashKey::loadOrCreate(dir.filePath("hash.key").toStdString()));
    const QDir pictureDir(dir.filePath("pictures"));
    for (const std::string& name : store.referencedFiles())
        QVERIFY2(pictureDir.exists(QString::fromStdString(name)), name.c_str());
    QVERIFY(pictureDir.entryList({".tmp-*"}, QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(store.referencedFiles().size() >= acknowledged.size());
}

void TestServerProcess::storedHashesAreKeyedAndGuessingIsLimited()
{
    QTemporaryDir dir;
    std::string code;
    const std::string hash = BL::Server::sha1Hex("lim@example.orglimit-me");
    {
        CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet"});
        QVERIFY2(server.port > 0, server.logText().c_str());
        auto client = loopbackClient(server.port);
        QCOMPARE(submitForm(*client, "/signup", "email=lim@example.org&password=limit-me")->status, 200);

        // The secret is the owner's alone, and no file of the database holds the client's hash.
        struct stat key;
        QCOMPARE(::stat(dir.filePath("hash.key").toUtf8().constData(), &key), 0);
        QCOMPARE(key.st_mode & 0777, 0600u);
        for (const char* name : {"brightloom.db", "brightloom.db-wal"})
            QVERIFY2(readFile(dir.filePath(name)).find(hash) == std::string::npos, name);

        const std::string known = "hash=" + hash + "&uuid=u";
        const auto check = [&](const char* source, const std::string& body) {
            return postFrom(source, server.port, "/api/check_hash", body);
        };
        // Successes never count against an address.
        for (int i = 0; i < 30; ++i)
            QCOMPARE(check("127.0.0.1", known), std::make_pair(200, std::string(R"({"exists":true})")));
        for (int i = 0; i < 20; ++i) {
            const auto guess =
                check("127.0.0.1", "hash=" + BL::Server::sha1Hex("guess" + std::to_string(i)) + "&uuid=u");
            QCOMPARE(guess, std::make_pair(200, std::string(R"({"exists":false})")));
        }
        const auto refused = check("127.0.0.1", "hash=" + BL::Server::sha1Hex("guess-21") + "&uuid=u");
        QCOMPARE(refused.first, 429);
        QCOMPARE(refused.second, std::string(R"({"status":"error","reason":"too many failed attempts"})"));
        // The address is held whatever it sends, the web sign-in included...
        QCOMPARE(check("127.0.0.1", known).first, 429);
        QCOMPARE(
            postFrom("127.0.0.1", server.port, "/user/history", "email=lim%40example.org&password=limit-me")
                .first,
            429);
        // ...while another address signs in as before,
        QCOMPARE(check("127.0.0.2", known), std::make_pair(200, std::string(R"({"exists":true})")));
        // and a client already signed in still uploads to its account from the held address.
        auto upload = postUpload(*client, hash, std::string(), makePng(20, 20, 5));
        QVERIFY(upload);
        QCOMPARE(upload->status, 200);
        code = codeOfUrl(jsonValue(upload->body, "url"));
        QVERIFY(!code.empty());
    }
    BL::Server::CSqliteStore store(
        dir.filePath("brightloom.db").toStdString(),
        BL::Server::CHashKey::loadOrCreate(dir.filePath("hash.key").toStdString()));
    const std::int64_t account = store.accountForHash(hash);
    QVERIFY(account > 0);
    const auto history = store.history(account, 10, BL::Server::nowMs());
    QCOMPARE(history.size(), std::size_t(1));
    QCOMPARE(history.front().code, code);
}

void TestServerProcess::failedChecksCountTheClientBehindTheProxy()
{
    BL::Server::SServiceOptions options;
    options.trustedProxy = "127.0.0.2";
    CTestServer server(options);
    const auto check = [&](const char* source, const std::string& client, int guess) {
        return postFrom(source, server.port(), "/api/check_hash",
                        "hash=" + BL::Server::sha1Hex("guess" + std::to_string(guess)) + "&uuid=u",
                        "X-Forwarded-For: 203.0.113.9, " + client + "\r\n");
    };
    for (int i = 0; i < options.failedChecksPerMinute; ++i)
        QCOMPARE(check("127.0.0.2", "198.51.100.7", i).first, 200);
    // The client behind the proxy is held, on the web sign-in as well...
    QCOMPARE(check("127.0.0.2", "198.51.100.7", 100).first, 429);
    QCOMPARE(postFrom("127.0.0.2", server.port(), "/user/history", "email=a%40example.org&password=whatever",
                      "X-Forwarded-For: 198.51.100.7\r\n")
                 .first,
             429);
    // ...not the proxy, so another client behind it still gets answers,
    QCOMPARE(check("127.0.0.2", "198.51.100.8", 101),
             std::make_pair(200, std::string(R"({"exists":false})")));
    // A proxy that adds a header line of its own: the client is the last line's last entry,
    // whatever lines the client sent before it.
    QCOMPARE(postFrom("127.0.0.2", server.port(), "/api/check_hash",
                      "hash=" + BL::Server::sha1Hex("g") + "&uuid=u",
                      "X-Forwarded-For: 198.51.100.7\r\nX-Forwarded-For: 198.51.100.9\r\n"),
             std::make_pair(200, std::string(R"({"exists":false})")));
    // and an address that is not the proxy cannot pass the blame on by naming the held client.
    for (int i = 0; i < options.failedChecksPerMinute; ++i)
        QCOMPARE(check("127.0.0.3", "198.51.100.8", 200 + i).first, 200);
    QCOMPARE(check("127.0.0.3", "198.51.100.8", 300).first, 429);
    QCOMPARE(check("127.0.0.2", "198.51.100.8", 301).first, 200);
}

void TestServerProcess::sigtermFinishesTheUploadUnderWay()
{
    QTemporaryDir dir;
    const std::string png = makePng(300, 200, 41);
    std::string code;
    {
        CServerProcess server(dir.path(), dir.filePath("log"));
        QVERIFY(server.port > 0);
        auto health = loopbackClient(server.port)->get("/healthz");
        QVERIFY(health);
        QCOMPARE(health->status, 200);
        QCOMPARE(health->body, std::string(R"({"status":"ok"})"));

        const SReserved reserved = reserve(*loopbackClient(server.port));
        const std::string body = clientMultipart(std::string(), reserved.secret, png);
        const std::string head =
            "POST /api/upload.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + clientMultipartType() +
            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nExpect: 100-continue\r\n\r\n";
        const int fd = connectFrom("127.0.0.1", server.port);
        QVERIFY(fd >= 0);
        QVERIFY(::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size()));
        // The go-ahead: the service has taken the connection and is reading the upload.
        QCOMPARE(readExactly(fd, 25), std::string("HTTP/1.1 100 Continue\r\n\r\n"));
        const std::string first = body.substr(0, body.size() / 2);
        QVERIFY(::send(fd, first.data(), first.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(first.size()));

        // Stopped half-way through the upload: new connections are refused at once...
        ::kill(static_cast<pid_t>(server.process.processId()), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(server.logText().find("SIGTERM received") != std::string::npos, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(connectionRefused(server.port), 5000);
        // ...while the upload under way is finished and acknowledged, and only then does it exit.
        QCOMPARE(server.process.state(), QProcess::Running);
        const std::string rest = body.substr(body.size() / 2);
        QVERIFY(::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(rest.size()));
        const auto reply = splitReply(readAll(fd));
        ::close(fd);
        QCOMPARE(reply.first, 200);
        QCOMPARE(jsonValue(reply.second, "status"), std::string("ok"));
        code = codeOfUrl(jsonValue(reply.second, "url"));
        QCOMPARE(code, reserved.code);
        QVERIFY(server.process.waitForFinished(10000));
        QCOMPARE(server.process.exitCode(), 0);
    }
    CServerProcess again(dir.path(), dir.filePath("log2"));
    auto picture = loopbackClient(again.port)->get(("/" + code + ".png").c_str());
    QVERIFY(picture);
    QVERIFY(picture->body == png);
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_process.moc"
