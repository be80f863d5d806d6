// Real crashes of a program linked with the crash reporter: the helper's minidump, the report it
// posts to a loopback catcher, the log lines, and the signal the program dies by.
#include "diagnostics/productversion.h"
#include "minidumpfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <csignal>

using namespace BL::Test;

namespace {

struct SReceivedReport
{
    QMap<QByteArray, QByteArray> fields;
    QByteArray dump;
    QByteArray dumpFileName;
};

// Answers every POST with a report code and keeps what was posted.
class CReportCatcher : public QObject
{
public:
    CReportCatcher()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/report").arg(m_server.serverPort()); }
    QVector<SReceivedReport> reports;

private:
    void onData(QTcpSocket* socket)
    {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QByteArray head = buffer.left(headerEnd);
        const QByteArray lower = head.toLower();
        const int lengthAt = lower.indexOf("content-length:");
        if (lengthAt < 0)
            return;
        const int length =
            lower.mid(lengthAt + 15, lower.indexOf("\r\n", lengthAt) - lengthAt - 15).trimmed().toInt();
        if (lower.contains("expect: 100-continue") && !m_continued.contains(socket)) {
            m_continued.insert(socket);
            socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        const int boundaryAt = head.indexOf("boundary=");
        const QByteArray boundary =
            "--" + head.mid(boundaryAt + 9, head.indexOf("\r\n", boundaryAt) - boundaryAt - 9);
        reports << parse(buffer.mid(headerEnd + 4, length), boundary);
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n"
                      "Connection: close\r\n\r\nreport-id-123");
        socket->disconnectFromHost();
    }

    static SReceivedReport parse(const QByteArray& body, const QByteArray& boundary)
    {
        SReceivedReport report;
        for (const QByteArray& part : splitParts(body, boundary)) {
            const int split = part.indexOf("\r\n\r\n");
            const QByteArray headers = part.left(split);
            QByteArray content = part.mid(split + 4);
            content.chop(2); // the line break before the next boundary
            const int nameAt = headers.indexOf("name=\"");
            const QByteArray name = headers.mid(nameAt + 6, headers.indexOf('"', nameAt + 6) - nameAt - 6);
            if (name == "upload_file_minidump") {
                report.dump = content;
                const int fileAt = headers.indexOf("filename=\"");
                report.dumpFileName =
                    headers.mid(fileAt + 10, headers.indexOf('"', fileAt + 10) - fileAt - 10);
            } else {
                report.fields.insert(name, content);
            }
        }
        return report;
    }

    static QList<QByteArray> splitParts(const QByteArray& body, const QByteArray& boundary)
    {
        QList<QByteArray> parts;
        int at = body.indexOf(boundary);
        while (at >= 0) {
            const int next = body.indexOf("\r\n" + boundary, at + boundary.size());
            if (next < 0)
                break;
            parts << body.mid(at + boundary.size() + 2, next - at - boundary.size() - 2 + 2);
            at = next + 2;
        }
        return parts;
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QSet<QTcpSocket*> m_continued;
};

QString crasherPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/bl_test_crasher");
}

// One run of the crasher with its own data directory.
struct SCrashRun
{
    QTemporaryDir home;
    QProcess process;
    QString dumpDir() const { return home.path() + QStringLiteral("/data/brightloom/minidumps"); }

    QStringList dumps() const
    {
        QStringList files = QDir(dumpDir()).entryList({QStringLiteral("*.dmp")}, QDir::Files);
        for (QString& file : files)
            file = dumpDir() + QLatin1Char('/') + file;
        return files;
    }

    bool run(const QStringList& args, const QMap<QString, QString>& environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
        env.remove(QStringLiteral("BL_DISABLE_BREAKPAD"));
        env.remove(QStringLiteral("BL_BREAKPAD_URL"));
        for (auto it = environment.begin(); it != environment.end(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
        process.start(crasherPath(), args);
        // The event loop runs while waiting, so the catcher can answer. The helper's own limits
        // end any upload well before this bound.
        QElapsedTimer timer;
        timer.start();
        while (process.state() != QProcess::NotRunning && timer.elapsed() < 90000)
            QTest::qWait(50);
        return process.state() == QProcess::NotRunning;
    }

    QString errors() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    // The signal the process died by, or 0 when it exited.
    int signal() const { return process.exitStatus() == QProcess::CrashExit ? process.exitCode() : 0; }
};

} // namespace

class TestCrash : public QObject
{
    Q_OBJECT

private slots:
    void nullDereferenceIsDumpedAndReported();
    void userNameFollowsTheUserRecord();
    void otherFatalSignalsKeepTheirSignal();
    void disabledReporterWritesNothing();
    void unreachableEndpointFailsAndEnds();
    void fileInPlaceOfDumpDirectory();
    void helperThatCannotRunStillEndsBySignal();
};

void TestCrash::nullDereferenceIsDumpedAndReported()
{
    CReportCatcher catcher;
    SCrashRun run;
    QVERIFY(run.run({QStringLiteral("segv")}, {{QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}}));
    const QString errors = run.errors();
    QCOMPARE(run.signal(), SIGSEGV);
    const QByteArray out = run.process.readAllStandardOutput();
    const qint64 crashedPid = out.mid(out.indexOf("ready ") + 6).trimmed().toLongLong();
    QVERIFY(crashedPid > 0);

    // One dump, a valid minidump naming the signal and the faulting address (a member 0x18
    // bytes into a null record).
    const QStringList dumps = run.dumps();
    QCOMPARE(dumps.size(), 1);
    QFile file(dumps.first());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const SMinidump dump = readMinidump(bytes);
    QVERIFY2(dump.valid, qPrintable(dump.error));
    QCOMPARE(dump.cpu, std::uint16_t(9));
    QCOMPARE(dump.platform, std::uint32_t(0x8201));
    QCOMPARE(dump.signal, std::uint32_t(SIGSEGV));
    QCOMPARE(dump.faultAddress, std::uint64_t(0x18));

    // Every thread, each with registers and stack; the crashing one is the process's main thread.
    QVERIFY2(dump.threads.size() >= 2, qPrintable(QString::number(dump.threads.size())));
    QCOMPARE(dump.memoryRanges, dump.threads.size());
    const SDumpThread* crashed = nullptr;
    QSet<std::uint32_t> tids;
    for (const SDumpThread& thread : dump.threads) {
        tids.insert(thread.tid);
        QCOMPARE(thread.context.size(), 1232);
        QVERIFY(!thread.stack.isEmpty());
        QVERIFY(thread.rsp() + 128 >= thread.stackStart);
        QVERIFY(thread.rsp() < thread.stackStart + std::uint64_t(thread.stack.size()));
        if (thread.tid == dump.crashTid)
            crashed = &thread;
    }
    QCOMPARE(tids.size(), dump.threads.size());
    QVERIFY(crashed);
    QCOMPARE(crashed->context, dump.crashContext);
    // The crash happened on the main thread, whose id is the process id.
    QCOMPARE(qint64(dump.crashTid), crashedPid);
    QCOMPARE(qint64(dump.processId), crashedPid);

    // The module list holds the executable with the build ID of the file, and the crashing
    // instruction lies inside the function that dereferenced the null record.
    const SDumpModule* exe = nullptr;
    for (const SDumpModule& module : dump.modules)
        if (module.name == crasherPath())
            exe = &module;
    QVERIFY(exe);
    const QByteArray buildId = elfBuildId(crasherPath());
    QVERIFY(!buildId.isEmpty());
    QCOMPARE(exe->buildId.toHex(), buildId.toHex());
    std::uint64_t start = 0, end = 0, firstLoad = 0;
    QVERIFY(elfSymbol(crasherPath(), "bl_test_crash_here", &start, &end, &firstLoad));
    const std::uint64_t linkAddress = crashed->rip() - exe->base + firstLoad;
    QVERIFY2(linkAddress >= start && linkAddress < end, qPrintable(QStringLiteral("rip %1 outside [%2, %3)")
                                                                       .arg(linkAddress, 0, 16)
                                                                       .arg(start, 0, 16)
                                                                       .arg(end, 0, 16)));
    // Shared libraries come with their build IDs too.
    QVERIFY(std::any_of(dump.modules.begin(), dump.modules.end(), [](const SDumpModule& m) {
        return m.name.contains(QLatin1String("libQt5Core")) && !m.buildId.isEmpty();
    }));

    // The report: the parameters, no e-mail for nobody signed in, and the very dump.
    QCOMPARE(catcher.reports.size(), 1);
    const SReceivedReport& report = catcher.reports.first();
    QCOMPARE(report.fields.value("os_type"), QByteArray("linux"));
    QCOMPARE(report.fields.value("build_host_user"), QByteArray(BL_EXPECTED_BUILD_HOST_USER));
    QCOMPARE(report.fields.value("ver"), productVersion().toUtf8());
    QVERIFY(!report.fields.contains("email"));
    QCOMPARE(report.fields.size(), 3);
    QCOMPARE(report.dump, bytes);
    QVERIFY(errors.contains(QLatin1String("Not attaching user info to crash report because it's missing\n")));
    QVERIFY2(errors.contains(QLatin1String("The result of a send of a Breakpad crash report: "
                                           "RESULT_SUCCEEDED, the report code: report-id-123\n")),
             qPrintable(errors));
    QVERIFY(QFileInfo(run.dumpDir() + QStringLiteral("/check.point")).isFile());
}

void TestCrash::userNameFollowsTheUserRecord()
{
    CReportCatcher catcher;
    {
        SCrashRun run;
        QVERIFY(run.run({QStringLiteral("--user"), QStringLiteral("ann@example.org"), QStringLiteral("segv")},
                        {{QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}}));
        QCOMPARE(run.signal(), SIGSEGV);
        QVERIFY(
            run.errors().contains(QLatin1String("Attaching user info to crash report: ann@example.org\n")));
    }
    {
        SCrashRun run;
        QVERIFY(run.run({QStringLiteral("--user"), QStringLiteral("ann@example.org"),
                         QStringLiteral("--sign-out"), QStringLiteral("segv")},
                        {{QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}}));
        QCOMPARE(run.signal(), SIGSEGV);
        QVERIFY(run.errors().contains(
            QLatin1String("Not attaching user info to crash report because it's missing")));
    }
    {
        // An offline start: the name is remembered, but nobody has been signed in.
        SCrashRun run;
        QVERIFY(run.run(
            {QStringLiteral("--remembered"), QStringLiteral("bob@example.org"), QStringLiteral("segv")},
            {{QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}}));
        QCOMPARE(run.signal(), SIGSEGV);
        const QString errors = run.errors();
        QVERIFY2(
            errors.contains(QLatin1String("Not attaching user info to crash report because it's missing")),
            qPrintable(errors));
    }
    QCOMPARE(catcher.reports.size(), 3);
    QCOMPARE(catcher.reports[0].fields.value("email"), QByteArray("ann@example.org"));
    QCOMPARE(catcher.reports[0].fields.size(), 4);
    QVERIFY(!catcher.reports[1].fields.contains("email"));
    QVERIFY(!catcher.reports[2].fields.contains("email"));
    QCOMPARE(catcher.reports[2].fields.size(), 3);
}

void TestCrash::otherFatalSignalsKeepTheirSignal()
{
    CReportCatcher catcher;
    const QMap<QString, QString> env{{QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}};
    {
        SCrashRun run;
        QVERIFY(run.run({QStringLiteral("abort")}, env));
        QCOMPARE(run.signal(), SIGABRT);
        QCOMPARE(run.dumps().size(), 1);
        QFile file(run.dumps().first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(readMinidump(file.readAll()).signal, std::uint32_t(SIGABRT));
    }
    {
        // Sent from outside: the handler has to raise it again itself.
        SCrashRun run;
        connect(&run.process, &QProcess::readyReadStandardOutput, this, [&run] {
            if (run.process.readAllStandardOutput().contains("ready"))
                ::kill(pid_t(run.process.processId()), SIGBUS);
        });
        QVERIFY(run.run({QStringLiteral("wait")}, env));
        QCOMPARE(run.signal(), SIGBUS);
        QCOMPARE(run.dumps().size(), 1);
    }
    {
        // A worker thread's fault: the dump names that thread, with the fault in its registers.
        SCrashRun run;
        QVERIFY(run.run({QStringLiteral("thread-segv")}, env));
        QCOMPARE(run.signal(), SIGSEGV);
        const QByteArray out = run.process.readAllStandardOutput();
        const qint64 pid = out.mid(out.indexOf("ready ") + 6).trimmed().toLongLong();
        QCOMPARE(run.dumps().size(), 1);
        QFile file(run.dumps().first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const SMinidump dump = readMinidump(file.readAll());
        QVERIFY(dump.valid);
        QVERIFY(dump.crashTid != 0 && qint64(dump.crashTid) != pid);
        QVERIFY(dump.threads.size() >= 3);
        std::uint64_t start = 0, end = 0, firstLoad = 0, base = 0;
        QVERIFY(elfSymbol(crasherPath(), "bl_test_crash_here", &start, &end, &firstLoad));
        for (const SDumpModule& module : dump.modules)
            if (module.name == crasherPath())
                base = module.base;
        QVERIFY(base != 0);
        const auto crashed = std::find_if(dump.threads.begin(), dump.threads.end(),
                                          [&](const SDumpThread& t) { return t.tid == dump.crashTid; });
        QVERIFY(crashed != dump.threads.end());
        const std::uint64_t linkAddress = crashed->rip() - base + firstLoad;
        QVERIFY(linkAddress >= start && linkAddress < end);
    }
    QCOMPARE(catcher.reports.size(), 3);
}

void TestCrash::disabledReporterWritesNothing()
{
    CReportCatcher catcher;
    SCrashRun run;
    QVERIFY(run.run({QStringLiteral("segv")}, {{QStringLiteral("BL_DISABLE_BREAKPAD"), QStringLiteral("YES")},
                                               {QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}}));
    QCOMPARE(run.signal(), SIGSEGV);
    QVERIFY(run.process.readAllStandardOutput().startsWith("url <mock reporter URL>\n"));
    QVERIFY(run.dumps().isEmpty());
    QVERIFY(!run.errors().contains(QLatin1String("crash report")));
    QVERIFY(catcher.reports.isEmpty());
}

void TestCrash::unreachableEndpointFailsAndEnds()
{
    // A port that was free a moment ago: the connection is refused.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("http://127.0.0.1:%1/report").arg(probe.serverPort());
    probe.close();
    SCrashRun run;
    QVERIFY(run.run({QStringLiteral("segv")}, {{QStringLiteral("BL_BREAKPAD_URL"), url}}));
    QCOMPARE(run.signal(), SIGSEGV);
    QVERIFY(run.process.readAllStandardOutput().startsWith(QStringLiteral("url %1\n").arg(url).toUtf8()));
    const QString errors = run.errors();
    QVERIFY2(errors.contains(QLatin1String(
                 "The result of a send of a Breakpad crash report: RESULT_FAILED, the report code: ")),
             qPrintable(errors));
    // The dump stays for whoever looks.
    QCOMPARE(run.dumps().size(), 1);
}

void TestCrash::fileInPlaceOfDumpDirectory()
{
    CReportCatcher catcher;
    SCrashRun run;
    QVERIFY(QDir().mkpath(run.home.path() + QStringLiteral("/data/brightloom")));
    QFile blocker(run.dumpDir());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(run.run({QStringLiteral("segv")}, {{QStringLiteral("BL_BREAKPAD_URL"), catcher.url()}}));
    const QString errors = run.errors();
    QVERIFY2(errors.contains(
                 QStringLiteral("Could not create the minidump directory, the crash reports won't be sent.\n"
                                "Error: Failed to create '%1', the reason: The path specified is not a "
                                "directory.")
                     .arg(run.dumpDir())),
             qPrintable(errors));
    // The handler is installed all the same: it reports the failure and the signal stays.
    QVERIFY2(errors.contains(QLatin1String("The result of a send of a Breakpad crash report: RESULT_FAILED")),
             qPrintable(errors));
    QCOMPARE(run.signal(), SIGSEGV);
    QVERIFY(QFileInfo(run.dumpDir()).isFile());
    QVERIFY(catcher.reports.isEmpty());
}

void TestCrash::helperThatCannotRunStillEndsBySignal()
{
    // The program copied next to a "helper" the kernel cannot execute, which it prefers to the
    // one in the build tree.
    QTemporaryDir install;
    const QString program = install.filePath(QStringLiteral("bl_test_crasher"));
    QVERIFY(QFile::copy(crasherPath(), program));
    QFile helper(install.filePath(QStringLiteral("brightloom-crash-helper")));
    QVERIFY(helper.open(QIODevice::WriteOnly));
    helper.write("not a program");
    helper.close();
    QVERIFY(helper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    CReportCatcher catcher;
    SCrashRun run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), run.home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("BL_BREAKPAD_URL"), catcher.url());
    run.process.setProcessEnvironment(env);
    run.process.start(program, {QStringLiteral("segv")});
    QVERIFY(run.process.waitForFinished(60000));
    QCOMPARE(run.signal(), SIGSEGV);
    QVERIFY(run.errors().contains(
        QLatin1String("The crash helper could not be started: no crash report was written")));
    QVERIFY(run.dumps().isEmpty());
    QVERIFY(catcher.reports.isEmpty());
}

QTEST_GUILESS_MAIN(TestCrash)
#include "tst_crash.moc"
