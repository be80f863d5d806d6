// The feed reader and the updater of platforms without an update library, against the
// real reference service on loopback.
#include "diagnostics/appcast.h"
#include "diagnostics/appcastupdater.h"
#include "diagnostics/productversion.h"
#include "diagnostics/updatewindow.h"
#include "serviceprocess.h"

#include <QCheckBox>
#include <QNetworkReply>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

using namespace BL::Test;

Q_DECLARE_METATYPE(EUpdateCheckResult)

namespace {

const qint64 kBuild = productBuildNumber();

QByteArray feed(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
           "<channel><title>Brightloom</title>\n" +
           items + "</channel></rss>\n";
}

// An older release, and a newer one described the way feeds usually describe it: the
// version on the enclosure, the notes as HTML in CDATA.
QByteArray newerFeed()
{
    return feed("<item><title>Old</title><sparkle:version>" + QByteArray::number(kBuild - 1) +
                "</sparkle:version><link>http://127.0.0.1:9/old</link></item>\n"
                "<item><title>New</title><description><![CDATA[<h2>What is new</h2><p>Faster shots.</p>]]>"
                "</description><link>http://127.0.0.1:9/download/new</link>"
                "<enclosure url=\"http://127.0.0.1:9/new.tar.gz\" sparkle:version=\"1.0.0." +
                QByteArray::number(kBuild + 1) +
                "\" sparkle:shortVersionString=\"1.0.1\" length=\"1\"/></item>\n");
}

QByteArray sameBuildFeed()
{
    return feed("<item><title>This</title><sparkle:version>" + QByteArray::number(kBuild) +
                "</sparkle:version><link>http://127.0.0.1:9/this</link></item>\n");
}

// A loopback port on which nothing listens.
quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void feedItemsVersionsAndLinks();
    void brokenFeedsAreRefused_data();
    void brokenFeedsAreRefused();
    void newerBuildOpensWindowInBackground();
    void sameBuildAndServiceOwnFeedStaySilent();
    void backgroundFailuresAreOnlyLogged();
    void checkWithUiShowsEveryOutcome();
    void checkRunsAsynchronouslyAndOnceAtATime();
    void automaticChecksSettingAndBox();
    void feedAddress();

private:
    void publish(const QByteArray& xml);
    QString feedUrl() const { return m_service.baseUrl() + QStringLiteral("/desktop/updates/linux"); }

    QTemporaryDir m_root;
    CServiceProcess m_service;
};

void TestUpdater::initTestCase()
{
    qRegisterMetaType<EUpdateCheckResult>();
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
}

void TestUpdater::cleanupTestCase()
{
    m_service.stop();
}

void TestUpdater::init()
{
    QFile::remove(m_root.filePath("service/appcast/linux.xml"));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Brightloom", "Brightloom").clear();
}

void TestUpdater::publish(const QByteArray& xml)
{
    QFile file(m_root.filePath("service/appcast/linux.xml"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(xml), xml.size());
}

void TestUpdater::feedItemsVersionsAndLinks()
{
    QList<SAppcastItem> items;
    QString error;
    const QByteArray xml = feed(
        "<item><title>Plain</title><sparkle:version>330</sparkle:version>"
        "<sparkle:releaseNotesLink>https://127.0.0.1/notes</sparkle:releaseNotesLink>"
        "<enclosure url=\"https://127.0.0.1/330.tar.gz\" length=\"1\"/></item>\n"
        "<item><title>Dotted</title><enclosure url=\"file:///etc/passwd\" sparkle:version=\"1.1.0.331\"/>"
        "<link>javascript:alert(1)</link></item>\n"
        "<item><title>Beta</title><sparkle:version>1.2-beta</sparkle:version></item>\n"
        "<item><title>No version</title><link>http://127.0.0.1/none</link></item>\n");
    QVERIFY2(parseAppcast(xml, &items, &error), qPrintable(error));
    QCOMPARE(items.size(), 3); // the item without a version cannot be compared
    QCOMPARE(items[0].build, 330);
    QCOMPARE(items[0].displayVersion, QStringLiteral("330"));
    QCOMPARE(items[0].downloadPage, QUrl("https://127.0.0.1/330.tar.gz")); // no link: the enclosure
    QCOMPARE(items[0].releaseNotesLink, QUrl("https://127.0.0.1/notes"));
    QCOMPARE(items[1].build, 331);
    // Neither a local file nor a script ever reaches the browser.
    QVERIFY(items[1].downloadPage.isEmpty());
    QCOMPARE(items[2].build, -1);

    QCOMPARE(newestItemAbove(items, 329)->title, QStringLiteral("Dotted"));
    QCOMPARE(newestItemAbove(items, 330)->title, QStringLiteral("Dotted"));
    QVERIFY(!newestItemAbove(items, 331));
    QVERIFY(!newestItemAbove(items, 5000));

    QVERIFY(parseAppcast(feed(QByteArray()), &items, &error));
    QVERIFY(items.isEmpty());

    // The declared encoding is honoured, UTF-8 or not.
    const QByteArray item = "<item><title>Gr\xC3\xB6\xC3\x9F"
                            "e</title><sparkle:version>7</sparkle:version></item>";
    QVERIFY2(parseAppcast(feed(item), &items, &error), qPrintable(error));
    QCOMPARE(items.value(0).title, QStringLiteral("Größe"));
    QByteArray latin1 = feed(QByteArray(item).replace("\xC3\xB6\xC3\x9F", "\xF6\xDF"));
    latin1.replace("utf-8", "ISO-8859-1");
    QVERIFY2(parseAppcast(latin1, &items, &error), qPrintable(error));
    QCOMPARE(items.value(0).title, QStringLiteral("Größe"));
}

void TestUpdater::brokenFeedsAreRefused_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("html page") << QByteArray("<html><body>Not here</body></html>");
    QTest::newRow("cut off") << newerFeed().left(newerFeed().size() / 2);
    QTest::newRow("undeclared prefix")
        << QByteArray("<rss><channel><item><sparkle:version>9</sparkle:version>"
                      "</item></channel></rss>");
    QTest::newRow("junk after the end") << feed(QByteArray()) + "<rss/>";
    QTest::newRow("json") << QByteArray(R"({"status":"ok"})");
}

void TestUpdater::brokenFeedsAreRefused()
{
    QFETCH(QByteArray, xml);
    QList<SAppcastItem> items{SAppcastItem()};
    QString error;
    QVERIFY(!parseAppcast(xml, &items, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(items.isEmpty());
}

void TestUpdater::newerBuildOpensWindowInBackground()
{
    publish(newerFeed());
    CAppcastUpdater updater(feedUrl(), QString::number(productBuildNumber()));
    QSignalSpy finished(&updater, &CAbstractSoftwareUpdater::checkFinished);
    updater.checkInBackground();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
    QCOMPARE(finished.first().first().value<EUpdateCheckResult>(), EUpdateCheckResult::UpdateFound);
    CUpdateWindow* window = updater.window();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QVERIFY2(window->statusText().contains(QLatin1String("1.0.1")), qPrintable(window->statusText()));
    QCOMPARE(window->offeredDownloadPage(), QUrl("http://127.0.0.1:9/download/new"));
    auto* notes = window->findChild<QTextBrowser*>(QStringLiteral("notesView"));
    QVERIFY(notes && notes->isVisible());
    QVERIFY(notes->toPlainText().contains(QLatin1String("Faster shots.")));
    auto* download = window->findChild<QPushButton*>(QStringLiteral("downloadButton"));
    QVERIFY(download && download->isVisible() && download->isDefault());
    QVERIFY(m_service.log().contains(QLatin1String("\"GET /desktop/updates/linux\" 200")));

    // A second check finding the same update keeps to the one window.
    updater.checkInBackground();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 15000);
    QCOMPARE(updater.window(), window);
}

void TestUpdater::sameBuildAndServiceOwnFeedStaySilent()
{
    for (const bool ownFeed : {false, true}) {
        if (!ownFeed)
            publish(sameBuildFeed());
        else
            QFile::remove(m_root.filePath("service/appcast/linux.xml"));
        CAppcastUpdater updater(feedUrl(), QString::number(productBuildNumber()));
        QSignalSpy finished(&updater, &CAbstractSoftwareUpdater::checkFinished);
        updater.checkInBackground();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        QCOMPARE(finished.first().first().value<EUpdateCheckResult>(), EUpdateCheckResult::UpToDate);
        QVERIFY(!updater.window());
    }
    // The service's own feed announces exactly this build.
    const SHttpResult own = httpGet(feedUrl());
    QCOMPARE(own.status, 200);
    QList<SAppcastItem> items;
    QString error;
    QVERIFY2(parseAppcast(own.body, &items, &error), qPrintable(error));
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.first().build, kBuild);
    QCOMPARE(items.first().downloadPage, QUrl(m_service.baseUrl() + "/about"));
}

void TestUpdater::backgroundFailuresAreOnlyLogged()
{
    publish("<rss><channel><item>");
    const QStringList urls{feedUrl(),
                           QStringLiteral("http://127.0.0.1:%1/desktop/updates/linux").arg(deadPort()),
                           m_service.baseUrl() + QStringLiteral("/no/such/feed")};
    for (const QString& url : urls) {
        CAppcastUpdater updater(url, QString::number(productBuildNumber()));
        QSignalSpy finished(&updater, &CAbstractSoftwareUpdater::checkFinished);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^update check failed: .*") +
                                                              QRegularExpression::escape(url)));
        updater.checkInBackground();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        QCOMPARE(finished.first().first().value<EUpdateCheckResult>(), EUpdateCheckResult::Failed);
        QVERIFY(!updater.window());
    }
}

void TestUpdater::checkWithUiShowsEveryOutcome()
{
    struct SCase
    {
        QByteArray xml; // empty: no feed file
        QString url;
        EUpdateCheckResult result;
        QString shown;
    };
    const QString dead = QStringLiteral("http://127.0.0.1:%1/desktop/updates/linux").arg(deadPort());
    const QList<SCase> cases{
        {"<rss><channel>", feedUrl(), EUpdateCheckResult::Failed,
         "The update feed at " + feedUrl() + " is malformed"},
        {QByteArray(), dead, EUpdateCheckResult::Failed,
         "The update service could not be reached at " + dead},
        {"x", "ftp://127.0.0.1/feed", EUpdateCheckResult::Failed, "is not a web address"},
        {sameBuildFeed(), feedUrl(), EUpdateCheckResult::UpToDate, "Brightloom is up to date"},
        {newerFeed(), feedUrl(), EUpdateCheckResult::UpdateFound,
         "A new version of Brightloom is available: 1.0.1"},
    };
    for (const SCase& c : cases) {
        QFile::remove(m_root.filePath("service/appcast/linux.xml"));
        if (!c.xml.isEmpty())
            publish(c.xml);
        CAppcastUpdater updater(c.url, QString::number(productBuildNumber()));
        QSignalSpy finished(&updater, &CAbstractSoftwareUpdater::checkFinished);
        if (c.result == EUpdateCheckResult::Failed)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^update check failed: "));
        updater.checkWithUi();
        QVERIFY(updater.window() && updater.window()->isVisible());
        QCOMPARE(updater.window()->statusText(), QStringLiteral("Checking for updates..."));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        QCOMPARE(finished.first().first().value<EUpdateCheckResult>(), c.result);
        QVERIFY(updater.window() && updater.window()->isVisible());
        QVERIFY2(updater.window()->statusText().contains(c.shown),
                 qPrintable(updater.window()->statusText()));
        auto* download = updater.window()->findChild<QPushButton*>(QStringLiteral("downloadButton"));
        QCOMPARE(download->isVisible(), c.result == EUpdateCheckResult::UpdateFound);
    }
}

void TestUpdater::checkRunsAsynchronouslyAndOnceAtATime()
{
    // A service that takes the connection and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket*> connections;
    bool hangUp = false;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection()) {
            connections << socket;
            if (hangUp)
                socket->abort();
        }
    });
    const QString url = QStringLiteral("http://127.0.0.1:%1/desktop/updates/linux").arg(silent.serverPort());
    CAppcastUpdater updater(url, QString::number(productBuildNumber()));
    QSignalSpy finished(&updater, &CAbstractSoftwareUpdater::checkFinished);
    updater.checkInBackground(); // returns while the request is still out
    QCOMPARE(finished.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 1, 10000);
    updater.checkInBackground();
    updater.checkWithUi(); // joins the running check and reports in the window
    // A request is a reply object of the updater's network access from the moment it is asked.
    QCOMPARE(updater.findChildren<QNetworkReply*>().size(), 1);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(updater.window()->statusText(), QStringLiteral("Checking for updates..."));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^update check failed: "));
    // The client may try once more on a new connection; that one is cut too.
    hangUp = true;
    connections.first()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(finished.first().first().value<EUpdateCheckResult>(), EUpdateCheckResult::Failed);
    QVERIFY2(updater.window()->statusText().contains(QLatin1String("could not be reached")),
             qPrintable(updater.window()->statusText()));
}

void TestUpdater::automaticChecksSettingAndBox()
{
    publish(newerFeed());
    QSettings stored(QSettings::NativeFormat, QSettings::UserScope, "Brightloom", "Brightloom");
    {
        CAppcastUpdater updater(feedUrl(), QString::number(productBuildNumber()));
        QVERIFY(updater.automaticChecksEnabled()); // on by default
        QSignalSpy finished(&updater, &CAbstractSoftwareUpdater::checkFinished);
        updater.checkInBackground();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
        auto* box = updater.window()->findChild<QCheckBox*>(QStringLiteral("automaticBox"));
        QVERIFY(box && box->isVisible() && box->isChecked());
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
        QVERIFY(!box->isChecked());
        QVERIFY(!updater.automaticChecksEnabled());
    }
    stored.sync();
    QCOMPARE(stored.value("check_updates_automatically").toBool(), false);
    CAppcastUpdater next(feedUrl(), QString::number(productBuildNumber()));
    QVERIFY(!next.automaticChecksEnabled());
    next.setAutomaticChecksEnabled(true);
    stored.sync();
    QCOMPARE(stored.value("check_updates_automatically").toBool(), true);
}

void TestUpdater::feedAddress()
{
    const auto restore = qScopeGuard([] {
        qunsetenv("BL_APPCAST_URL");
        qunsetenv("BL_SERVICE_HOST");
    });
    qputenv("BL_SERVICE_HOST", m_service.host().toLatin1());
    qunsetenv("BL_APPCAST_URL");
    QCOMPARE(appcastUrl(), feedUrl());
    qputenv("BL_APPCAST_URL", "");
    QCOMPARE(appcastUrl(), feedUrl());
    qputenv("BL_APPCAST_URL", "http://127.0.0.1:9/elsewhere/feed.xml?x=1");
    QCOMPARE(appcastUrl(), QStringLiteral("http://127.0.0.1:9/elsewhere/feed.xml?x=1"));
    auto updater = createSoftwareUpdater();
    QCOMPARE(static_cast<CAppcastUpdater*>(updater.get())->feedUrl(),
             QUrl("http://127.0.0.1:9/elsewhere/feed.xml?x=1"));
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
