// The real brightloom-server binary: command line, signals, restarts and a kill -9 mid-upload.

#include "server/sqlite_store.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <map>
#include <mutex>
#include <signal.h>

using namespace BL::Test;

namespace {

// One run of the binary on an ephemeral loopback port, its stderr in a file.
class CServerProcess
{
public:
    CServerProcess(const QString& dataDir, const QString& logPath, const QStringList& extra = {})
    {
        QFile::remove(logPath);
        log = logPath;
        process.setStandardErrorFile(logPath);
        process.start(QStringLiteral(BL_SERVER_BINARY),
                      QStringList{"--listen", "127.0.0.1:0", "--data", dataDir} + extra);
        process.waitForStarted(5000);
        const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        for (int i = 0; i < 200 && port == 0; ++i) {
            const auto match = listening.match(QString::fromStdString(readFile(log)));
            if (match.hasMatch())
                port = match.captured(1).toInt();
            else
                QTest::qSleep(25);
        }
    }
    ~CServerProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    std::string logText() const { return readFile(log); }

    QProcess process;
    QString log;
    int port = 0;
};

const char form[] = "application/x-www-form-urlencoded";

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void commandLine();
    void restartKeepsAccountsCodesAndPictures();
    void killDuringUploadsLosesNothingAcknowledged();
};

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
    auto reply = loopbackClient(server.port)->Post("/api/reserve_code", "", form);
    QVERIFY(reply);
    QVERIFY(jsonValue(reply->body, "url") == "https://shots.example.org/" + jsonValue(reply->body, "code"));
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
        QCOMPARE(client->Post("/signup", "email=keep@example.org&password=keep-me", form)->status, 200);
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
    QCOMPARE(QString::fromStdString(client->Post("/api/check_hash", "hash=" + hash + "&uuid=u", form)->body),
             QString::fromLatin1(R"({"exists":true})"));
    QVERIFY(client->Get(("/" + uploaded + ".png").c_str())->body == png);
    // A code reserved before the restart can still take its upload.
    QCOMPARE(postUpload(*client, hash, pending, png)->status, 200);
    QCOMPARE(postUpload(*client, hash, pending, png)->status, 409);
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
        auto res = client->Get(("/" + code + ".png").c_str());
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QVERIFY2(res->body == pictures[index], code.c_str());
    }
    // No row names a missing file, and the restart swept away half-written temporaries.
    BL::Server::CSqliteStore store(dir.filePath("brightloom.db").toStdString());
    const QDir pictureDir(dir.filePath("pictures"));
    for (const std::string& name : store.referencedFiles())
        QVERIFY2(pictureDir.exists(QString::fromStdString(name)), name.c_str());
    QVERIFY(pictureDir.entryList({".tmp-*"}, QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(store.referencedFiles().size() >= acknowledged.size());
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_process.moc"
