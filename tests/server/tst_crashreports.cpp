// Crash reports on the service: a real crash of a program with the reporter reaches /report,
// is kept, and the operator's listing names the crashing thread's frames.
#include "server_test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <csignal>

using namespace BL::Test;

namespace {

const std::string kToken = "operator-token-0123456789";

// The GNU build ID of an ELF file as lowercase hex.
QByteArray buildIdHex(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray elf = file.readAll();
    for (int note = elf.indexOf(QByteArray("GNU\0", 4)); note >= 12;
         note = elf.indexOf(QByteArray("GNU\0", 4), note + 4))
        if (qFromLittleEndian<quint32>(elf.constData() + note - 12) == 4 &&
            qFromLittleEndian<quint32>(elf.constData() + note - 4) == 3)
            return elf.mid(note + 4, int(qFromLittleEndian<quint32>(elf.constData() + note - 8))).toHex();
    return {};
}

// Crashes the test program against `url`; returns the signal it died by.
int crash(const QString& url, const QString& dataHome, const QStringList& args = {QStringLiteral("segv")})
{
    QProcess crasher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    env.insert(QStringLiteral("BL_BREAKPAD_URL"), url);
    env.remove(QStringLiteral("BL_DISABLE_BREAKPAD"));
    crasher.setProcessEnvironment(env);
    crasher.start(QStringLiteral(BL_CRASHER_BINARY), args);
    if (!crasher.waitForFinished(90000))
        return -1;
    return crasher.exitStatus() == QProcess::CrashExit ? crasher.exitCode() : 0;
}

QJsonArray listReports(CHttpClient& client, int* status, const std::string& authorization)
{
    SHeaders headers;
    if (!authorization.empty())
        headers.emplace_back("Authorization", authorization);
    auto res = client.get("/admin/reports", headers);
    *status = res ? res->status : 0;
    return res ? QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).array() : QJsonArray();
}

} // namespace

class TestCrashReports : public QObject
{
    Q_OBJECT

private slots:
    void crashIsKeptAndListedWithFrames();
    void listingIsForTheOperatorOnly();
    void brokenDumpsAreListedNotFatal();
};

void TestCrashReports::crashIsKeptAndListedWithFrames()
{
    QTemporaryDir symbols;
    BL::Server::SServiceOptions options;
    options.adminToken = kToken;
    options.symbolsDir = symbols.path().toStdString();
    CTestServer server(options);
    QTemporaryDir home;
    // The test program's symbols are at hand, the system libraries' are not.
    const QByteArray id = buildIdHex(QStringLiteral(BL_CRASHER_BINARY));
    QVERIFY(!id.isEmpty());
    QVERIFY(QFile::copy(QStringLiteral(BL_CRASHER_BINARY), symbols.filePath(QString::fromLatin1(id))));

    const QString url = QString::fromStdString(server.baseUrl()) + QStringLiteral("/report");
    QCOMPARE(crash(url, home.path()), SIGSEGV);
    QCOMPARE(crash(url, home.path(),
                   {QStringLiteral("--user"), QStringLiteral("bo@example.org"), QStringLiteral("abort")}),
             SIGABRT);

    int status = 0;
    auto client = server.client();
    const QJsonArray reports = listReports(*client, &status, "Bearer " + kToken);
    QCOMPARE(status, 200);
    QCOMPARE(reports.size(), 2);
    // Newest first.
    const QJsonObject aborted = reports.at(0).toObject();
    const QJsonObject segv = reports.at(1).toObject();
    QCOMPARE(aborted.value("email").toString(), QStringLiteral("bo@example.org"));
    QCOMPARE(aborted.value("signal").toInt(), SIGABRT);
    QCOMPARE(segv.value("os_type").toString(), QStringLiteral("linux"));
    QCOMPARE(segv.value("email").toString(), QString());
    QVERIFY(!segv.value("ver").toString().isEmpty());
    QCOMPARE(segv.value("signal").toInt(), SIGSEGV);
    QCOMPARE(segv.value("fault_address").toString(), QStringLiteral("0x18"));

    // The dump is kept as it came.
    const QString dumpFile = server.dataDir() + QStringLiteral("/reports/") + segv.value("dump").toString();
    QFile kept(dumpFile);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll().startsWith("MDMP"));
    const QStringList local =
        QDir(home.path() + QStringLiteral("/brightloom/minidumps")).entryList({"*.dmp"});
    QCOMPARE(local.size(), 2);

    // Frames: the faulting instruction in the crashing function, then its caller from the stack.
    const QJsonArray frames = segv.value("frames").toArray();
    QVERIFY(frames.size() >= 2);
    const QJsonObject top = frames.at(0).toObject();
    QCOMPARE(top.value("module").toString(), QStringLiteral(BL_CRASHER_BINARY));
    QCOMPARE(top.value("trust").toString(), QStringLiteral("context"));
    QVERIFY2(top.value("symbol").toString().startsWith(QLatin1String("bl_test_crash_here+0x")),
             qPrintable(top.value("symbol").toString()));
    QVERIFY(top.value("offset").toString().startsWith(QLatin1String("0x")));
    bool callerFound = false, otherModule = false;
    for (const QJsonValue& value : frames) {
        const QJsonObject frame = value.toObject();
        callerFound = callerFound || (frame.value("trust").toString() == QLatin1String("scan") &&
                                      frame.value("symbol").toString().startsWith(QLatin1String("main+0x")));
        // Modules whose symbols are not at hand still give module and offset.
        if (frame.value("module").toString() != QLatin1String(BL_CRASHER_BINARY)) {
            otherModule = true;
            QVERIFY(!frame.value("module").toString().isEmpty());
            QCOMPARE(frame.value("symbol").toString(), QString());
        }
    }
    QVERIFY(callerFound);
    QVERIFY(otherModule);
}

void TestCrashReports::listingIsForTheOperatorOnly()
{
    BL::Server::SServiceOptions options;
    options.adminToken = kToken;
    CTestServer server(options);
    auto client = server.client();
    int status = 0;
    listReports(*client, &status, "");
    QCOMPARE(status, 401);
    listReports(*client, &status, "Bearer " + kToken + "x");
    QCOMPARE(status, 401);
    listReports(*client, &status, kToken);
    QCOMPARE(status, 401);
    QVERIFY(listReports(*client, &status, "Bearer " + kToken).isEmpty());
    QCOMPARE(status, 200);

    // Without a token the listing does not exist.
    CTestServer closed;
    auto closedClient = closed.client();
    listReports(*closedClient, &status, "Bearer " + kToken);
    QCOMPARE(status, 404);
}

void TestCrashReports::brokenDumpsAreListedNotFatal()
{
    BL::Server::SServiceOptions options;
    options.adminToken = kToken;
    CTestServer server(options);
    auto client = server.client();
    // A header that points everywhere, and plain garbage.
    std::string lying("MDMP\x93\xa7\0\0\xff\xff\0\0\xf0\xff\xff\xff", 16);
    lying.append(64, '\xff');
    for (const std::string& dump : {lying, std::string("not a dump at all")}) {
        std::vector<SFormItem> items = {{"os_type", "linux", "", ""},
                                        {"upload_file_minidump", dump, "x.dmp", "application/octet-stream"}};
        auto res = client->post("/report", items);
        QVERIFY(res);
        QCOMPARE(res->status, 200);
    }
    int status = 0;
    const QJsonArray reports = listReports(*client, &status, "Bearer " + kToken);
    QCOMPARE(status, 200);
    QCOMPARE(reports.size(), 2);
    for (const QJsonValue& report : reports) {
        QVERIFY(!report.toObject().value("error").toString().isEmpty());
        QVERIFY(!report.toObject().contains("frames"));
    }
}

QTEST_GUILESS_MAIN(TestCrashReports)
#include "tst_crashreports.moc"
