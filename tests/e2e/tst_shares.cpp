// The recent shares on a private X session against the real service: shots land in the list,
// Delete takes a share back at the service, the list outlives the program, a failed upload is
// tried again from it, and the chosen expiry goes with each reservation.
#include "serviceprocess.h"
#include "x11session.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

constexpr int kPatience = 15000;
const QVariantMap kHelpSeen = {{"show_pre_help", true}, {"show_paste_help", true}};

QString deadHost()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
}

// Every file below `dir`, by the digest of its bytes.
QMultiHash<QByteArray, QString> filesByDigest(const QString& dir)
{
    QMultiHash<QByteArray, QString> files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            files.insert(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256),
                         file.fileName());
    }
    return files;
}

} // namespace

class TestShares : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void deleteFromRecentSharesAndRestart();
    void chosenExpiryGoesWithEachReservation();

private:
    bool startProgram(const QString& host);
    // Once its balloons are gone: a menu opened under one may lose the keys typed into it.
    bool quitProgram() { return waitForTrayAtRest() && quitFromTrayMenu(*m_program, kPatience); }
    // Walks the tray menu with `keys` (Up from the top wraps to "&Quit").
    bool walkTrayMenu(const QStringList& keys) { return BL::Test::walkTrayMenu(*m_program, keys); }
    QString takeShot(QPoint from, QPoint to, const QString& previousLink);
    QJsonArray listedShares() const;
    int logCount(const QString& text) { return m_program->errorOutput().count(text); }
    // Deletes the newest share through its menu and answers "Yes".
    bool deleteNewestShare();

    QTemporaryDir m_root;
    CServiceProcess m_service;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestShares::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
}

void TestShares::cleanupTestCase()
{
    m_service.stop();
}

void TestShares::init()
{
    m_user = std::make_unique<QTemporaryDir>();
}

void TestShares::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

bool TestShares::startProgram(const QString& host)
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), host);
    m_program = startDockedProgram(m_user->path(), env, kHelpSeen);
    return m_program != nullptr;
}

QString TestShares::takeShot(QPoint from, QPoint to, const QString& previousLink)
{
    xdotool({"key", "ctrl+alt+p"});
    if (!QTest::qWaitFor([] { return programOverlayShown(); }, kPatience))
        return QString();
    drag(from, to);
    QString link;
    const bool changed = QTest::qWaitFor(
        [&link, &previousLink] {
            link = clipboard();
            return !link.isEmpty() && link != previousLink;
        },
        kPatience);
    return changed ? link : QString();
}

QJsonArray TestShares::listedShares() const
{
    QFile file(m_user->path() + QStringLiteral("/data/brightloom/shares/shares.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("shares")).toArray();
}

// Up seven times from the top: "&Quit", "&About", "Check for &Updates", "Text languages",
// "Copy te&xt from area", "Ex&pire new shares", "R&ecent shares"; Right opens it on its newest
// entry, Right again that entry's own menu.
static const QStringList kNewestShare = {"Up", "Up", "Up", "Up", "Up", "Up", "Up", "Right", "Right"};

bool TestShares::deleteNewestShare()
{
    const int asked = logCount("message box Question: delete");
    return walkTrayMenu(kNewestShare + QStringList{"Down", "Down", "Return"}) && // "&Delete..."
           confirmDeletion(*m_program, asked, kPatience);
}

void TestShares::deleteFromRecentSharesAndRestart()
{
    QVERIFY(startProgram(m_service.host()));
    const QString first = takeShot({100, 100}, {300, 250}, QString());
    QVERIFY(!first.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Screenshot succesfully uploaded."), 1, kPatience);
    const QString second = takeShot({400, 300}, {500, 380}, first);
    QVERIFY(!second.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Screenshot succesfully uploaded."), 2, kPatience);

    // Both listed, newest first, each with the service's thumbnail once it has come.
    QTRY_VERIFY_WITH_TIMEOUT(listedShares().size() == 2 &&
                                 listedShares().at(0).toObject().contains("thumbnail") &&
                                 listedShares().at(1).toObject().contains("thumbnail"),
                             kPatience);
    QCOMPARE(listedShares().at(0).toObject().value("link").toString(), second);
    const QString listFile = m_user->path() + QStringLiteral("/data/brightloom/shares/shares.json");
    QCOMPARE(QFileInfo(listFile).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    const QString thumbnail = m_user->path() + QStringLiteral("/data/brightloom/shares/") +
                              listedShares().at(0).toObject().value("thumbnail").toString();
    QCOMPARE(QImage(thumbnail).width(), 64); // 101x81 made at most 64 a side

    // The second share's picture, as the service stores it.
    const SHttpResult picture = httpGet(second + QStringLiteral(".png"));
    QCOMPARE(picture.status, 200);
    const QStringList stored =
        filesByDigest(m_root.filePath("service"))
            .values(QCryptographicHash::hash(picture.body, QCryptographicHash::Sha256));
    QCOMPARE(stored.size(), 1);

    QVERIFY(deleteNewestShare());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Information The share was deleted."),
                             kPatience);
    QCOMPARE(httpGet(second).status, 410);
    QVERIFY(!QFile::exists(stored.first()));
    // The list and the thumbnail are written in the background, just after the balloon.
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 1, kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(thumbnail), kPatience);
    QVERIFY(quitProgram());

    // After a restart the other share is still there and its link copies, even offline.
    QVERIFY(startProgram(deadHost()));
    QVERIFY(walkTrayMenu(kNewestShare + QStringList{"Return"})); // "&Copy link"
    QTRY_COMPARE_WITH_TIMEOUT(clipboard(), first, kPatience);
    // Deleting it while the service is down says so and keeps it.
    QVERIFY(deleteNewestShare());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Warning Deleting failed."),
                             kPatience);
    QCOMPARE(listedShares().size(), 1);
    QCOMPARE(httpGet(first).status, 200);

    // A shot that cannot be uploaded is listed with its kept file.
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    drag({200, 200}, {263, 247});
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 2, kPatience);
    const QString kept = listedShares().at(0).toObject().value("kept").toString();
    QVERIFY2(QFile::exists(kept), qPrintable(kept));
    QVERIFY(quitProgram());

    // Back online, "Retry upload" sends it through the usual road and the entry becomes a share.
    QVERIFY(startProgram(m_service.host()));
    QVERIFY(walkTrayMenu(kNewestShare + QStringList{"Return"})); // "&Retry upload"
    QString retried;
    QTRY_VERIFY_WITH_TIMEOUT(!(retried = clipboard()).isEmpty() && retried != first, kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Screenshot succesfully uploaded."), 1, kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 2, kPatience);
    QCOMPARE(listedShares().at(0).toObject().value("link").toString(), retried);
    QVERIFY(!listedShares().at(0).toObject().contains("kept"));
    QCOMPARE(listedShares().at(1).toObject().value("link").toString(), first);
    const QImage served = QImage::fromData(httpGet(retried + QStringLiteral(".png")).body, "PNG");
    QCOMPARE(served.convertToFormat(QImage::Format_RGB32),
             QImage(kept).convertToFormat(QImage::Format_RGB32));
}

static QDateTime pageTime(const QString& page, const char* label)
{
    const QRegularExpression time(QLatin1String(label) + QStringLiteral(" (\\S+ \\S+) UTC"));
    return QDateTime::fromString(time.match(page).captured(1), QStringLiteral("yyyy-MM-dd HH:mm"));
}

void TestShares::chosenExpiryGoesWithEachReservation()
{
    QVERIFY(startProgram(m_service.host()));
    const QString settings = m_user->path() + QStringLiteral("/config/Brightloom/Brightloom.conf");
    // "Ex&pire new shares", then "1 &hour" below "&Never".
    QVERIFY(walkTrayMenu({"Up", "Up", "Up", "Up", "Up", "Up", "Right", "Down", "Return"}));
    QTRY_COMPARE_WITH_TIMEOUT(QSettings(settings, QSettings::IniFormat).value("share_expiry_seconds").toInt(),
                              3600, kPatience);
    QString previous;
    for (int start = 0; start < 2; ++start) {
        // The choice holds for every shot, and again after a restart.
        if (start == 1) {
            QVERIFY(quitProgram());
            QVERIFY(startProgram(m_service.host()));
        }
        const QString link = takeShot({50, 50}, {120, 90}, previous);
        QVERIFY(!link.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(logCount("Screenshot succesfully uploaded."), 1, kPatience);
        const QString page = QString::fromUtf8(httpGet(link).body);
        const QDateTime uploaded = pageTime(page, "Uploaded");
        const QDateTime ends = pageTime(page, "expires");
        QVERIFY2(uploaded.isValid() && ends.isValid(), qPrintable(page));
        QCOMPARE(uploaded.secsTo(ends), 3600);
        previous = link;
    }
}

QTEST_MAIN(TestShares)
#include "tst_shares.moc"
