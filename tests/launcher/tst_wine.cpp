// The launcher, cross-built for Windows, run under Wine in a fresh prefix: its exit codes,
// a start without a desktop shell, and a real start through Wine's desktop shell.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

struct SRun
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1000;
    QString errors;
};

// Z:\ is where Wine shows the host's file system.
QString windowsPath(const QString& path)
{
    return QStringLiteral("Z:") + QDir::toNativeSeparators(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

} // namespace

class TestLauncherUnderWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void executableIsStaticGuiProgramWithManifest();
    void wrongArgumentCountExitsWithMinusOne();
    void noDesktopShellStillExitsWithZero();
    void desktopShellStartsTheTarget();

private:
    // `explorer`: whether Wine may run its desktop shell (explorer.exe) for this run.
    SRun run(const QString& program, const QStringList& args, bool explorer = true, int timeoutMs = 120000);
    SRun launch(const QStringList& args, bool explorer = true)
    {
        return run(QStringLiteral(BL_LAUNCHER_EXE), args, explorer);
    }
    // Ends every process of the prefix, the desktop shell included.
    void stopWine();
    // True once Wine's desktop shell of our prefix runs: a desktop user's session has it
    // before anything is launched, and the launcher asks it at once.
    bool desktopShellUp() const;
    QProcessEnvironment wineEnvironment(bool explorer) const;

    QTemporaryDir m_prefix;
    QTemporaryDir m_files;
};

QProcessEnvironment TestLauncherUnderWine::wineEnvironment(bool explorer) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), m_prefix.path());
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No .NET or HTML engine downloads: nothing here may reach the network, and no dialog may wait.
    QString overrides = QStringLiteral("mscoree,mshtml=");
    if (!explorer)
        overrides += QStringLiteral(";explorer.exe=d");
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), overrides);
    // The same run with or without an X server at hand.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

SRun TestLauncherUnderWine::run(const QString& program, const QStringList& args, bool explorer, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(wineEnvironment(explorer));
    process.start(QStringLiteral(BL_WINE), QStringList{program} + args);
    SRun result;
    result.finished = process.waitForStarted(10000) && process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.status = process.exitStatus();
    result.code = process.exitCode();
    result.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

void TestLauncherUnderWine::stopWine()
{
    QProcess server;
    server.setProcessEnvironment(wineEnvironment(true));
    server.start(QStringLiteral(BL_WINESERVER), {QStringLiteral("-k")});
    server.waitForFinished(30000);
    server.start(QStringLiteral(BL_WINESERVER), {QStringLiteral("-w")});
    server.waitForFinished(30000);
}

bool TestLauncherUnderWine::desktopShellUp() const
{
    const QByteArray prefix = "WINEPREFIX=" + QFile::encodeName(m_prefix.path());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains("explorer.exe"))
            continue;
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(prefix))
            return true;
    }
    return false;
}

void TestLauncherUnderWine::initTestCase()
{
    QVERIFY(m_prefix.isValid() && m_files.isValid());
    QVERIFY2(QFile::exists(QStringLiteral(BL_LAUNCHER_EXE)), BL_LAUNCHER_EXE);
    // The first run sets the prefix up, which takes a while on a busy machine.
    const SRun boot = run(QStringLiteral("wineboot"), {QStringLiteral("--init")}, true, 300000);
    QVERIFY2(boot.finished && boot.code == 0, qPrintable(boot.errors));
    stopWine();
}

void TestLauncherUnderWine::cleanupTestCase()
{
    stopWine();
}

void TestLauncherUnderWine::executableIsStaticGuiProgramWithManifest()
{
    QFile file(QStringLiteral(BL_LAUNCHER_EXE));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray exe = file.readAll();
    QVERIFY(exe.startsWith("MZ"));
    const quint32 pe = qFromLittleEndian<quint32>(exe.constData() + 0x3C);
    QVERIFY(pe + 24 + 70 < quint32(exe.size()));
    QCOMPARE(exe.mid(int(pe), 4), QByteArray("PE\0\0", 4));
    // Optional header after the 4-byte signature and the 20-byte file header; its field
    // Subsystem sits at offset 68: 2 is the GUI subsystem, no console window.
    const quint16 subsystem = qFromLittleEndian<quint16>(exe.constData() + pe + 24 + 68);
    QCOMPARE(subsystem, quint16(2));
    // Static: none of the compiler's runtime DLLs need to lie beside it.
    for (const char* dll : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"})
        QVERIFY2(!exe.contains(dll), dll);
    QVERIFY(exe.contains("level=\"asInvoker\" uiAccess=\"false\""));
    QVERIFY(exe.contains("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
}

void TestLauncherUnderWine::wrongArgumentCountExitsWithMinusOne()
{
    // -1 as a Windows exit code is 255 as a Unix exit status.
    const QList<QStringList> wrong{{},
                                   {QStringLiteral("a.exe"), QStringLiteral("b.exe")},
                                   {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}};
    for (const QStringList& args : wrong) {
        const SRun result = launch(args);
        QVERIFY2(result.finished, qPrintable(args.join(' ')));
        QCOMPARE(result.status, QProcess::NormalExit);
        QVERIFY2(result.code == 255, qPrintable(QStringLiteral("%1 arguments: exit code %2\n%3")
                                                    .arg(args.size())
                                                    .arg(result.code)
                                                    .arg(result.errors)));
    }
}

void TestLauncherUnderWine::noDesktopShellStillExitsWithZero()
{
    // As for a service without a desktop: Wine's desktop shell is not allowed to run.
    stopWine();
    const QString target = m_files.filePath(QStringLiteral("noshell-probe.exe"));
    QVERIFY(QFile::copy(QStringLiteral(BL_START_PROBE_EXE), target));
    const SRun result = launch({windowsPath(target)}, false);
    QVERIFY(result.finished);
    QCOMPARE(result.status, QProcess::NormalExit);
    QVERIFY2(result.code == 0,
             qPrintable(QStringLiteral("exit code %1\n%2").arg(result.code).arg(result.errors)));
    QVERIFY2(!result.errors.contains(QLatin1String("Unhandled")), qPrintable(result.errors));
    // Nothing was started: a program started after the launcher ended has run to its end, and the
    // target still has not.
    const QString later = m_files.filePath(QStringLiteral("noshell-later.exe"));
    QVERIFY(QFile::copy(QStringLiteral(BL_START_PROBE_EXE), later));
    QVERIFY(run(later, {}, false).finished);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(later + QStringLiteral(".ran")), 60000);
    QVERIFY(!QFile::exists(target + QStringLiteral(".ran")));
    stopWine();
}

void TestLauncherUnderWine::desktopShellStartsTheTarget()
{
    // The target's path is handed over unchanged, blanks and non-ASCII letters included.
    QVERIFY(QDir(m_files.path()).mkpath(QStringLiteral("Start me ü")));
    const QString target = m_files.filePath(QStringLiteral("Start me ü/probe ä.exe"));
    QVERIFY(QFile::copy(QStringLiteral(BL_START_PROBE_EXE), target));

    // The session first: Wine keeps running between the programs, and a program started
    // directly brings its desktop shell up (and shows that the probe runs at all).
    QProcess server;
    server.setProcessEnvironment(wineEnvironment(true));
    server.start(QStringLiteral(BL_WINESERVER), {QStringLiteral("-p")});
    QVERIFY(server.waitForFinished(30000));
    const QString warmUp = m_files.filePath(QStringLiteral("warm-up.exe"));
    QVERIFY(QFile::copy(QStringLiteral(BL_START_PROBE_EXE), warmUp));
    QVERIFY(run(warmUp, {}).finished);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(warmUp + QStringLiteral(".ran")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(desktopShellUp(), 60000);
    // The shell's process comes up before it takes requests, later still on a busy machine. Ready
    // is when a launch through it has run something: until then the launcher, as it should, starts
    // nothing and says nothing.
    const QString ready = m_files.filePath(QStringLiteral("ready.exe"));
    QVERIFY(QFile::copy(QStringLiteral(BL_START_PROBE_EXE), ready));
    for (int attempt = 0; attempt < 6 && !QFile::exists(ready + QStringLiteral(".ran")); ++attempt) {
        QVERIFY(launch({windowsPath(ready)}).finished);
        for (QDeadlineTimer ceiling(20000);
             !ceiling.hasExpired() && !QFile::exists(ready + QStringLiteral(".ran"));)
            QTest::qWait(50);
    }
    QVERIFY2(QFile::exists(ready + QStringLiteral(".ran")), "the desktop shell never took a launch");

    const SRun result = launch({windowsPath(target)});
    QVERIFY(result.finished);
    QCOMPARE(result.status, QProcess::NormalExit);
    QVERIFY2(result.code == 0,
             qPrintable(QStringLiteral("exit code %1\n%2").arg(result.code).arg(result.errors)));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(target + QStringLiteral(".ran")), 60000);
}

QTEST_GUILESS_MAIN(TestLauncherUnderWine)
#include "tst_wine.moc"
