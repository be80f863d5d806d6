// The product version from the build, its build number, and the program's command line.
#include "diagnostics/productversion.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void versionComesFromTheBuild();
    void buildNumberIsTheLastPart();
    void commandLineAnswersWithoutDisplay();
};

void TestVersion::versionComesFromTheBuild()
{
    QCOMPARE(productVersion(), QStringLiteral(BL_EXPECTED_VERSION));
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
    QCOMPARE(version.readAllStandardOutput(), QByteArray("brightloom " BL_EXPECTED_VERSION "\n"));

    QProcess help;
    help.setProcessEnvironment(env);
    help.start(QStringLiteral(BL_BRIGHTLOOM_BINARY), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(30000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* needle : {"--version", "--help", "BL_BREAKPAD_URL", "BL_DISABLE_BREAKPAD"})
        QVERIFY2(text.contains(needle), needle);
}

QTEST_GUILESS_MAIN(TestVersion)
#include "tst_version.moc"
