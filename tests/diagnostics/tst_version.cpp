// The product version from the build, its build number, and the program's command line.
#include "diagnostics/productversion.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The number this build must carry: the fixed one, or the commit count of the sources now, so a
// number left from an earlier configure or commit shows as a mismatch.
QString expectedBuildNumber()
{
    const QString fixed = QStringLiteral(BL_FIXED_BUILD_NUMBER);
    if (!fixed.isEmpty())
        return fixed;
    QProcess git;
    git.start(QStringLiteral("git"),
              {QStringLiteral("-C"), QStringLiteral(BL_SOURCE_DIR), QStringLiteral("rev-list"),
               QStringLiteral("--count"), QStringLiteral("HEAD")});
    if (!git.waitForFinished(30000) || git.exitCode() != 0)
        return QString();
    return QString::fromLatin1(git.readAllStandardOutput().trimmed());
}

QString expectedVersion()
{
    return QStringLiteral(BL_PROJECT_VERSION ".") + expectedBuildNumber();
}

} // namespace

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void versionComesFromTheBuild();
    void buildNumberIsTheLastPart();
    void commandLineAnswersWithoutDisplay();
    void windowsResourceCarriesTheBuildNumber();
};

void TestVersion::versionComesFromTheBuild()
{
    QVERIFY2(!expectedBuildNumber().isEmpty(), "the commit count of the sources could not be read");
    QCOMPARE(productVersion(), expectedVersion());
    QVERIFY(
        QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$")).match(productVersion()).hasMatch());
    QCOMPARE(productBuildNumber(), productVersion().section(QLatin1Char('.'), -1).toInt());
}

void TestVersion::buildNumberIsTheLastPart()
{
    QCOMPARE(buildNumberOf(QStringLiteral("1.1.0.330")), 330);
    QCOMPARE(buildNumberOf(QStringLiteral("7")), 7);
    QCOMPARE(buildNumberOf(QStringLiteral("1.2-beta")), 0);
    QCOMPARE(buildNumberOf(QString()), 0);
    QCOMPARE(buildNumberOf(QStringLiteral("1.2.")), 0);
    QCOMPARE(buildNumberOf(QStringLiteral("1.2.3.x9")), 0);
}

void TestVersion::commandLineAnswersWithoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));

    QProcess version;
    version.setProcessEnvironment(env);
    version.start(QStringLiteral(BL_BRIGHTLOOM_BINARY), {QStringLiteral("--version")});
    QVERIFY(version.waitForFinished(30000));
    QCOMPARE(version.exitStatus(), QProcess::NormalExit);
    QCOMPARE(version.exitCode(), 0);
    QCOMPARE(QString::fromLatin1(version.readAllStandardOutput()),
             QStringLiteral("brightloom ") + expectedVersion() + QLatin1Char('\n'));

    QProcess help;
    help.setProcessEnvironment(env);
    help.start(QStringLiteral(BL_BRIGHTLOOM_BINARY), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(30000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* needle : {"--version", "--help", "BL_BREAKPAD_URL", "BL_DISABLE_BREAKPAD"})
        QVERIFY2(text.contains(needle), needle);
}

// The Windows executable's version resource, compiled as its build would and read back.
void TestVersion::windowsResourceCarriesTheBuildNumber()
{
    const QString windres = QStandardPaths::findExecutable(QStringLiteral("x86_64-w64-mingw32-windres"));
    if (windres.isEmpty())
        QSKIP("x86_64-w64-mingw32-windres is not installed (Debian package binutils-mingw-w64-x86-64)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString resources = QStringLiteral(BL_SOURCE_DIR "/resources/win");
    QProcess compile;
    compile.setWorkingDirectory(dir.path());
    compile.start(windres,
                  {QStringLiteral("-I"), resources, QStringLiteral("-I"), QStringLiteral(BL_GENERATED_DIR),
                   QStringLiteral("-i"), resources + QStringLiteral("/brightloom.rc"), QStringLiteral("-o"),
                   dir.filePath(QStringLiteral("brightloom.res"))});
    QVERIFY(compile.waitForFinished(60000));
    QVERIFY2(compile.exitCode() == 0, compile.readAllStandardError().constData());
    QProcess decompile;
    decompile.start(windres, {QStringLiteral("-i"), dir.filePath(QStringLiteral("brightloom.res")),
                              QStringLiteral("-O"), QStringLiteral("rc")});
    QVERIFY(decompile.waitForFinished(60000));
    QCOMPARE(decompile.exitCode(), 0);
    const QString text = QString::fromLatin1(decompile.readAllStandardOutput());

    const QString build = expectedBuildNumber();
    QVERIFY(!build.isEmpty());
    const QString numbers =
        QStringLiteral(BL_PROJECT_VERSION).replace(QLatin1Char('.'), QStringLiteral(", ")) +
        QStringLiteral(", ") + build;
    QVERIFY2(text.contains(QStringLiteral("FILEVERSION ") + numbers), qPrintable(text.left(4000)));
    QVERIFY(text.contains(QStringLiteral("PRODUCTVERSION ") + numbers));
    QVERIFY(
        text.contains(QStringLiteral("VALUE \"FileVersion\", \"") + expectedVersion() + QLatin1Char('"')));
    QVERIFY(
        text.contains(QStringLiteral("VALUE \"ProductVersion\", \"") + expectedVersion() + QLatin1Char('"')));
}

QTEST_GUILESS_MAIN(TestVersion)
#include "tst_version.moc"
