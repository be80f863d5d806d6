// Update checks of the real program against the real web service on a private X session:
// the window at start, the confirmation from the menu, failures kept quiet, the setting.
#include "serviceprocess.h"
#include "x11session.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

const QString kWindowTitle = QStringLiteral("^Brightloom Update$");
const QString kFeedRequest = QStringLiteral("\"GET /desktop/updates/linux\"");
const QString kUpToDateBalloon = QStringLiteral("balloon Information Brightloom is up to date.");

// The program's log up to the `nth` (from 1) appearance of `line`, empty while there are fewer.
// The log is written in order from one thread: whatever a start-up check wrote comes before a
// later check's line.
QString logUpTo(const QString& log, const QString& line, int nth)
{
    int at = -1;
    for (int i = 0; i < nth; ++i) {
        at = log.indexOf(line, at + 1);
        if (at < 0)
            return QString();
    }
    return log.left(at);
}

QByteArray feed(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
           "<channel><title>Brightloom</title>\n" +
           items + "</channel></rss>\n";
}

QByteArray item(qint64 build, const QByteArray& shortVersion, const QByteArray& link)
{
    return "<item><title>Brightloom " + shortVersion + "</title><sparkle:version>" +
           QByteArray::number(build) + "</sparkle:version><sparkle:shortVersionString>" + shortVersion +
           "</sparkle:shortVersionString><description><![CDATA[<p>Sharper shots.</p>]]></description><link>" +
           link + "</link></item>\n";
}

} // namespace

class TestUpdates : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void newerBuildAtStartShowsWindowAndButtonOpensLink();
    void sameBuildSilentAtStartMenuConfirms();
    void failuresAtStartAreOnlyLogged();
    void automaticChecksOffSkipsStartButNotMenu();

private:
    CProgram* startProgram(const QVariantMap& settings, const QString& serviceHost = QString());
    void publish(const QByteArray& xml);
    // The build the service announces when it has no feed file: the one both were built as.
    qint64 ownBuild();
    void chooseCheckForUpdates();
    // The service logs a request after answering it: counts are awaited, never read at once.
    int feedRequests() { return m_service.log().count(kFeedRequest); }

    QTemporaryDir m_root;
    CServiceProcess m_service;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
    qint64 m_build = -1;
};

void TestUpdates::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
    m_build = ownBuild();
    QVERIFY(m_build >= 0);
    // A browser stand-in that only writes down what it was asked to open.
    QVERIFY(QDir(m_root.path()).mkpath("bin"));
    QFile opener(m_root.filePath("bin/xdg-open"));
    QVERIFY(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$BL_TEST_OPENED\"\n");
    opener.close();
    QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestUpdates::cleanupTestCase()
{
    m_service.stop();
}

void TestUpdates::init()
{
    m_user = std::make_unique<QTemporaryDir>();
    QFile::remove(m_root.filePath("service/appcast/linux.xml"));
    QFile::remove(m_root.filePath("opened.txt"));
    // A fresh service per case: its access log then holds this case's requests only.
    m_service.stop();
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
}

void TestUpdates::cleanup()
{
    if (!m_program)
        return;
    if (QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"}); // a window the case left open
}

CProgram* TestUpdates::startProgram(const QVariantMap& settings, const QString& serviceHost)
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), serviceHost.isEmpty() ? m_service.host() : serviceHost);
    env.insert(QStringLiteral("PATH"), m_root.filePath("bin") + QLatin1Char(':') + env.value("PATH"));
    env.insert(QStringLiteral("BL_TEST_OPENED"), m_root.filePath("opened.txt"));
    env.remove(QStringLiteral("BL_APPCAST_URL"));
    QVariantMap stored{{"show_pre_help", true}, {"show_paste_help", true}};
    stored.insert(settings);
    m_program = startDockedProgram(m_user->path(), env, stored);
    return m_program.get();
}

void TestUpdates::publish(const QByteArray& xml)
{
    QFile file(m_root.filePath("service/appcast/linux.xml"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(xml), xml.size());
}

qint64 TestUpdates::ownBuild()
{
    const SHttpResult own = httpGet(m_service.baseUrl() + QStringLiteral("/desktop/updates/linux"));
    const int start = own.body.indexOf("<sparkle:version>") + 17;
    const int end = own.body.indexOf("</sparkle:version>");
    bool ok = false;
    const qint64 build = own.body.mid(start, end - start).toLongLong(&ok);
    return own.status == 200 && start > 16 && ok ? build : -1;
}

void TestUpdates::chooseCheckForUpdates()
{
    // Up from the top wraps to "&Quit"; above it "&About", then "Check for &Updates".
    QVERIFY(m_program && walkTrayMenu(*m_program, {"Up", "Up", "Up", "Return"}));
}

void TestUpdates::newerBuildAtStartShowsWindowAndButtonOpensLink()
{
    const qint64 build = m_build;
    const QByteArray link = "http://127.0.0.1:9/download/brightloom-9.9";
    publish(feed(item(build, "this", "http://127.0.0.1:9/this") + item(build + 1, "9.9", link)));
    CProgram* program = startProgram({});
    QVERIFY(program);
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindowsNamed(kWindowTitle).isEmpty(), 20000);
    // What the window offers, as the program logs it (its stderr may arrive after the window).
    const QString offered =
        QStringLiteral("update check: version 9.9 build %1 offered, download page ").arg(build + 1) +
        QString::fromLatin1(link);
    QTRY_VERIFY_WITH_TIMEOUT(program->errorOutput().contains(offered), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(feedRequests(), 1, 5000);

    // The download button has the focus: Return is what a person presses.
    const QString window = visibleWindowsNamed(kWindowTitle).first();
    xdotool({"windowactivate", "--sync", window});
    QTRY_COMPARE_WITH_TIMEOUT(xdotool({"getactivewindow"}).trimmed(), window, 5000);
    xdotool({"key", "Return"});
    // The opener's shell makes the file before it writes the line: wait for the line itself.
    const auto openedLink = [this] {
        QFile opened(m_root.filePath("opened.txt"));
        return opened.open(QIODevice::ReadOnly) ? opened.readAll().trimmed() : QByteArray();
    };
    QTRY_COMPARE_WITH_TIMEOUT(openedLink(), link, 10000);
}

void TestUpdates::sameBuildSilentAtStartMenuConfirms()
{
    const qint64 build = m_build;
    publish(feed(item(build - 1, "older", "http://127.0.0.1:9/older") +
                 item(build, "this", "http://127.0.0.1:9/this")));
    CProgram* program = startProgram({});
    QVERIFY(program);
    // Each check logs one such line, the balloon of a check from the menu right after it.
    const QString upToDate = QStringLiteral("update check: build %1 is up to date").arg(build);
    QTRY_VERIFY_WITH_TIMEOUT(program->errorOutput().contains(upToDate), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(feedRequests(), 1, 5000);

    // The check from the menu is the later event that shows what the start-up check did not do.
    chooseCheckForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(program->errorOutput().count(upToDate) == 2 &&
                                 program->errorOutput().contains(kUpToDateBalloon),
                             20000);
    const QString atStart = logUpTo(program->errorOutput(), upToDate, 2);
    QVERIFY2(!atStart.contains(kUpToDateBalloon), qPrintable(atStart));
    QCOMPARE(program->errorOutput().count(kUpToDateBalloon), 1);
    QTRY_COMPARE_WITH_TIMEOUT(feedRequests(), 2, 5000);
    // A window the start-up check had opened was mapped before the menu, by the same client.
    QVERIFY(visibleWindowsNamed(kWindowTitle).isEmpty());
}

void TestUpdates::failuresAtStartAreOnlyLogged()
{
    // A feed that is not one, then a service that is not there.
    publish("<rss><channel><item><title>cut off");
    CProgram* program = startProgram({});
    QVERIFY(program);
    const QString malformed = QStringLiteral("update check failed: The update feed at ") +
                              m_service.baseUrl() + QStringLiteral("/desktop/updates/linux is malformed");
    QTRY_VERIFY_WITH_TIMEOUT(program->errorOutput().contains(malformed), 20000);
    // A second check, from the menu, ends what the first could still have shown.
    chooseCheckForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(!logUpTo(program->errorOutput(), malformed, 2).isEmpty(), 20000);
    QVERIFY(visibleWindowsNamed(kWindowTitle).isEmpty());
    QVERIFY(!logUpTo(program->errorOutput(), malformed, 2).contains(QLatin1String("balloon")));
    m_program.reset();

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString deadHost = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    m_user = std::make_unique<QTemporaryDir>();
    program = startProgram({}, deadHost);
    QVERIFY(program);
    const QString unreachable =
        QStringLiteral("update check failed: The update service could not be reached at http://") + deadHost +
        QStringLiteral("/desktop/updates/linux");
    QTRY_VERIFY_WITH_TIMEOUT(program->errorOutput().contains(unreachable), 20000);
    chooseCheckForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(!logUpTo(program->errorOutput(), unreachable, 2).isEmpty(), 20000);
    QVERIFY(visibleWindowsNamed(kWindowTitle).isEmpty());
    QVERIFY(!logUpTo(program->errorOutput(), unreachable, 2).contains(QLatin1String("balloon")));
}

void TestUpdates::automaticChecksOffSkipsStartButNotMenu()
{
    // No feed file: the service's own feed, the build the program was built as.
    CProgram* program = startProgram({{"check_updates_automatically", false}});
    QVERIFY(program);
    // The program logs every check it starts, in order: by the end of the menu's check, a
    // start-up check would show as a second one.
    chooseCheckForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(program->errorOutput().contains(kUpToDateBalloon), 20000);
    QCOMPARE(program->errorOutput().count(
                 QLatin1String("Auto-updater: Checking for new application version in the background")),
             1);
    QTRY_COMPARE_WITH_TIMEOUT(feedRequests(), 1, 5000);
}

QTEST_MAIN(TestUpdates)
#include "tst_updates.moc"
