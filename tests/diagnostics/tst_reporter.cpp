// The reporter factory and what goes with every report.
#include "diagnostics/crashreporter.h"
#include "diagnostics/productversion.h"

#include <QtTest>

class TestReporter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void factoryFollowsTheEnvironment_data();
    void factoryFollowsTheEnvironment();
    void parametersAreFixedAtBuild();
};

void TestReporter::init()
{
    qunsetenv("BL_DISABLE_BREAKPAD");
    qunsetenv("BL_BREAKPAD_URL");
}

void TestReporter::factoryFollowsTheEnvironment_data()
{
    QTest::addColumn<QByteArray>("disable"); // "-" leaves the variable unset
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<bool>("mock");
    QTest::addColumn<QString>("expectedUrl");
    const QString mockUrl = QStringLiteral("<mock reporter URL>");
    QTest::newRow("unset") << QByteArray("-") << QByteArray("-") << false << defaultCrashReportUrl();
    QTest::newRow("YES") << QByteArray("YES") << QByteArray("-") << true << mockUrl;
    QTest::newRow("Yes, url ignored")
        << QByteArray("Yes") << QByteArray("http://127.0.0.1:9/x") << true << mockUrl;
    QTest::newRow("no") << QByteArray("no") << QByteArray("-") << false << defaultCrashReportUrl();
    QTest::newRow("leading blank") << QByteArray(" yes") << QByteArray("-") << false
                                   << defaultCrashReportUrl();
    QTest::newRow("other url") << QByteArray("-") << QByteArray("http://127.0.0.1:9/crash?x=%C3%A9") << false
                               << QStringLiteral("http://127.0.0.1:9/crash?x=%C3%A9");
    QTest::newRow("empty url") << QByteArray("-") << QByteArray("") << false << QString();
}

void TestReporter::factoryFollowsTheEnvironment()
{
    QFETCH(QByteArray, disable);
    QFETCH(QByteArray, url);
    QFETCH(bool, mock);
    QFETCH(QString, expectedUrl);
    if (disable != "-")
        qputenv("BL_DISABLE_BREAKPAD", disable);
    if (url != "-")
        qputenv("BL_BREAKPAD_URL", url);
    const std::shared_ptr<CAbstractCrashReporter> reporter = createCrashReporter();
    QVERIFY(reporter);
    QCOMPARE(dynamic_cast<CMockCrashReporter*>(reporter.get()) != nullptr, mock);
    QCOMPARE(reporter->crashReportUrl(), expectedUrl);
    // Neither implementation has a meta-object of its own.
    QCOMPARE(reporter->metaObject()->className(), "CAbstractCrashReporter");
    QVERIFY(defaultCrashReportUrl().endsWith(QLatin1String("/report")));
}

void TestReporter::parametersAreFixedAtBuild()
{
    const auto parameters = crashReportParameters();
    QCOMPARE(parameters.size(), 3);
    QCOMPARE(parameters[0], qMakePair(QStringLiteral("os_type"), QStringLiteral("linux")));
    QCOMPARE(parameters[1],
             qMakePair(QStringLiteral("build_host_user"), QStringLiteral(BL_EXPECTED_BUILD_HOST_USER)));
    QCOMPARE(parameters[2], qMakePair(QStringLiteral("ver"), productVersion()));
}

QTEST_GUILESS_MAIN(TestReporter)
#include "tst_reporter.moc"
