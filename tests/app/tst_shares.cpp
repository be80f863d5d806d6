// The record of shares offscreen: its file (private, replaced atomically, capped, lasting, a
// damaged one set aside), and deleting a share and fetching its thumbnail at the real service.
#include "api/deleterequest.h"
#include "api/servermanager.h"
#include "app/recentshares.h"
#include "app/uploadpipeline.h"
#include "serviceprocess.h"
#include "testhttpserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using BL::App::CRecentShares;
using BL::App::CShareHistory;
using BL::App::EShareKind;
using BL::App::EShareState;
using BL::App::SShareRecord;
using BL::Test::CServiceProcess;
using BL::Test::httpGet;

namespace {

SShareRecord shared(int n)
{
    SShareRecord record;
    record.link = QStringLiteral("http://127.0.0.1:1/code%1").arg(n);
    record.secret = QStringLiteral("secret%1").arg(n);
    record.time = QDateTime(QDate(2026, 1, 1), QTime(0, 0)).addSecs(n);
    record.kind = n % 2 ? EShareKind::Comparison : EShareKind::Picture;
    return record;
}

QByteArray png(const QSize& size, const QColor& colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

int listed(const QByteArray& file)
{
    return QJsonDocument::fromJson(file).object().value(QStringLiteral("shares")).toArray().size();
}

bool othersMayRead(const QString& path)
{
    return QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteGroup | QFileDevice::WriteOther);
}

// Uploads one picture through the real pipeline and returns what the record of shares gets.
struct SUploaded
{
    QString secret, link;
};
SUploaded uploadOne(const QColor& colour, qreal ratio = 1.0, int expirySeconds = -1)
{
    SUploaded result;
    BL::App::SUploadNotifier notifier;
    notifier.started = [] {};
    notifier.reserved = [](const QString&, const QString&) {};
    notifier.uploaded = [](const QString&) {};
    notifier.uploadFailed = [](const QString& e, const QList<QPixmap>&) { qWarning() << e; };
    notifier.reservationFailed = notifier.uploadFailed;
    notifier.shared = [&result](const QString& secret, const QString& link, int, const QList<QPixmap>&) {
        result = {secret, link};
    };
    BL::App::CUploadPipeline pipeline([](const QString&) {}, notifier, nullptr);
    if (expirySeconds >= 0)
        pipeline.setExpiry(expirySeconds);
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(colour);
    picture.setDevicePixelRatio(ratio);
    pipeline.uploadPicture(QPixmap::fromImage(picture));
    if (!QTest::qWaitFor([&result] { return !result.link.isEmpty(); }, 10000))
        qWarning("no upload finished");
    return result;
}

} // namespace

class TestShares : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void listFileIsPrivateAtomicCappedAndLasting();
    void damagedListIsSetAside();
    void deleteAndThumbnailAtTheService();
    void thumbnailMadeAfterTheAnswerIsFetchedLater();
    void scaleAndExpiryReachThePage();

private:
    QTemporaryDir m_dir;
    CServiceProcess m_service;
};

void TestShares::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_service.start(m_dir.filePath("service")), qPrintable(m_service.log()));
    qputenv("BL_SERVICE_HOST", m_service.host().toLatin1());
}

void TestShares::cleanupTestCase()
{
    m_service.stop();
}

void TestShares::listFileIsPrivateAtomicCappedAndLasting()
{
    const QString dir = m_dir.filePath("list/shares"); // made on the first write
    CShareHistory history(dir, nullptr);
    QVERIFY(history.entries().isEmpty());
    QSignalSpy changed(&history, &CShareHistory::changed);
    history.add(shared(0));
    QVERIFY(history.setThumbnail(shared(0).link, png(QSize(320, 200), Qt::magenta)));
    // The thumbnail is made off the GUI thread; the entry has it once its file is there.
    QTRY_COMPARE(changed.count(), 2);
    history.flush();
    QVERIFY(QFile::exists(history.fileName()));
    QVERIFY(!othersMayRead(history.fileName()));
    const QString oldestThumbnail = history.thumbnailPath(history.entries().first());
    QCOMPARE(QImage(oldestThumbnail).size(), QSize(64, 40));
    QVERIFY(!othersMayRead(oldestThumbnail));

    // A reader of the old file keeps reading the old list whole while the new one replaces it.
    QFile before(history.fileName());
    QVERIFY(before.open(QIODevice::ReadOnly));
    SShareRecord failed;
    failed.time = QDateTime::currentDateTime();
    failed.state = EShareState::UploadFailed;
    failed.keptFile = m_dir.filePath("kept.png");
    history.add(failed);
    history.flush();
    QCOMPARE(listed(before.readAll()), 1);
    QFile after(history.fileName());
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(listed(after.readAll()), 2);
    QVERIFY(!othersMayRead(history.fileName()));

    // Past the cap the oldest go, and their thumbnails with them.
    for (int i = 1; i <= CShareHistory::maxEntries; ++i)
        history.add(shared(i));
    QCOMPARE(history.entries().size(), CShareHistory::maxEntries);
    QCOMPARE(history.entries().first().link, shared(CShareHistory::maxEntries).link);
    QCOMPARE(history.entries().last().link, shared(1).link); // the first share and the failure went
    history.flush();
    QVERIFY(!QFile::exists(oldestThumbnail));
    // Nothing but the list and the thumbnails' directory: no temporary file is left behind.
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{"shares.json", "thumbnails"}));

    history.remove(shared(7).link);
    history.flush();
    const CShareHistory again(dir, nullptr);
    QCOMPARE(again.entries().size(), CShareHistory::maxEntries - 1);
    for (int i = 0; i < again.entries().size(); ++i) {
        const SShareRecord& a = history.entries().at(i);
        const SShareRecord& b = again.entries().at(i);
        QCOMPARE(b.link, a.link);
        QCOMPARE(b.secret, a.secret);
        QCOMPARE(b.time, a.time);
        QCOMPARE(b.kind, a.kind);
        QCOMPARE(b.state, a.state);
    }
    for (const SShareRecord& record : again.entries())
        QVERIFY(record.link != shared(7).link);

    // Compacting copies every record into blocks of its own and loses nothing on the way.
    SShareRecord hosted = shared(500);
    hosted.secret.clear();
    hosted.host = QStringLiteral("Example host");
    hosted.deletionUrl = QStringLiteral("http://127.0.0.1:9/delete/500");
    hosted.thumbnailUrl = QStringLiteral("http://127.0.0.1:9/thumb/500.png");
    hosted.kind = EShareKind::Comparison;
    history.add(hosted);
    history.add(failed);
    const int changes = changed.count();
    QVERIFY(history.setThumbnail(hosted.link, png(QSize(80, 60), Qt::cyan)));
    QTRY_COMPARE(changed.count(), changes + 1);
    const QList<SShareRecord> uncompacted = history.entries();
    history.compact();
    QCOMPARE(history.entries().size(), uncompacted.size());
    for (int i = 0; i < uncompacted.size(); ++i) {
        const SShareRecord& a = uncompacted.at(i);
        const SShareRecord& b = history.entries().at(i);
        const QString* texts[][2] = {{&a.link, &b.link},
                                     {&a.secret, &b.secret},
                                     {&a.thumbnail, &b.thumbnail},
                                     {&a.keptFile, &b.keptFile},
                                     {&a.host, &b.host},
                                     {&a.deletionUrl, &b.deletionUrl},
                                     {&a.thumbnailUrl, &b.thumbnailUrl}};
        for (const auto& text : texts) {
            QCOMPARE(*text[1], *text[0]);
            QVERIFY(text[0]->isEmpty() || text[1]->constData() != text[0]->constData());
        }
        QCOMPARE(b.time, a.time);
        QCOMPARE(b.kind, a.kind);
        QCOMPARE(b.state, a.state);
    }
    QVERIFY(!history.entries().at(1).thumbnail.isEmpty());
    history.remove(failed.keptFile);
    history.remove(hosted.link);
    // Its writes are done before another list of the same folder begins; otherwise the older
    // list's last write may land after the newer one's.
    history.flush();

    // A change made just before the program ends is on disk when it has ended.
    {
        CShareHistory last(dir, nullptr);
        last.add(shared(1000));
    }
    QCOMPARE(CShareHistory(dir, nullptr).entries().first().link, shared(1000).link);
}

void TestShares::damagedListIsSetAside()
{
    const QByteArray damaged[] = {"{\"version\":1,\"shares\":[{\"link\":\"http://x/a\",", "[1,2,3]", ""};
    for (const QByteArray& bytes : damaged) {
        QTemporaryDir dir;
        {
            QFile file(dir.filePath("shares.json"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("list of shares .* could not be read"));
        CShareHistory history(dir.path(), nullptr);
        QVERIFY(history.entries().isEmpty());
        const QStringList aside = QDir(dir.path()).entryList({"shares.json.damaged-*"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QFile kept(dir.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), bytes);
        QFile fresh(history.fileName());
        QVERIFY(fresh.open(QIODevice::ReadOnly));
        QCOMPARE(listed(fresh.readAll()), 0);
        QVERIFY(!othersMayRead(history.fileName()));

        history.add(shared(1));
        history.flush();
        QCOMPARE(CShareHistory(dir.path(), nullptr).entries().size(), 1);
    }
}

void TestShares::deleteAndThumbnailAtTheService()
{
    CRecentShares shares(m_dir.filePath("service-list"), nullptr);
    QList<QPair<QString, QSystemTrayIcon::MessageIcon>> told;
    connect(&shares, &CRecentShares::notify, this,
            [&told](const QString& text, QSystemTrayIcon::MessageIcon icon) {
                told.append({text, icon});
            });

    const SUploaded first = uploadOne(Qt::darkGreen);
    const SUploaded second = uploadOne(Qt::darkYellow);
    QVERIFY(!first.link.isEmpty() && !second.link.isEmpty());
    shares.recordShared(first.secret, first.link, EShareKind::Picture, {});
    shares.recordShared(second.secret, second.link, EShareKind::Picture, {});
    QCOMPARE(shares.history()->entries().first().link, second.link);

    // The service's thumbnail, made small for the menu.
    QTRY_VERIFY_WITH_TIMEOUT(!shares.find(first.link)->thumbnail.isEmpty(), 10000);
    const QImage thumbnail(shares.history()->thumbnailPath(*shares.find(first.link)));
    QCOMPARE(thumbnail.size(), QSize(64, 48));
    QCOMPARE(thumbnail.pixelColor(30, 20), QColor(Qt::darkGreen));

    shares.deleteShare(first.link);
    QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, 10000);
    QCOMPARE(told.first().second, QSystemTrayIcon::Information);
    QVERIFY(!shares.find(first.link));
    QCOMPARE(httpGet(first.link).status, 410);
    QVERIFY(httpGet(first.link + ".png").status >= 400);

    // Refusals come back in the service's words.
    const auto refusal = [](const QString& secret) {
        auto* request = new CDeleteRequest(secret);
        QSignalSpy refused(request, &CDeleteRequest::refused);
        CServerManager::instance()->sendRequest(request);
        return refused.wait(10000) ? refused.first().first().toString() : QStringLiteral("no refusal");
    };
    QCOMPARE(refusal(first.secret), QStringLiteral("code already deleted"));
    // Said in words in the balloon, and the entry stays.
    shares.recordShared(QStringLiteral("nosuchsecret"), first.link + QStringLiteral("x"), EShareKind::Picture,
                        {});
    shares.deleteShare(first.link + QStringLiteral("x"));
    QTRY_COMPARE_WITH_TIMEOUT(told.size(), 2, 10000);
    QCOMPARE(told.last(), qMakePair(QStringLiteral("The service did not delete the share: unknown code."),
                                    QSystemTrayIcon::Warning));
    QVERIFY(shares.find(first.link + QStringLiteral("x")));

    // A service that is down: said so, and the entry stays for another try.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    qputenv("BL_SERVICE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(closed.serverPort()));
    closed.close();
    shares.deleteShare(second.link);
    QTRY_COMPARE_WITH_TIMEOUT(told.size(), 3, 10000);
    qputenv("BL_SERVICE_HOST", m_service.host().toLatin1());
    QCOMPARE(told.last().second, QSystemTrayIcon::Warning);
    QVERIFY2(told.last().first.startsWith("Deleting failed.\nNetwork error"), qPrintable(told.last().first));
    QVERIFY(shares.find(second.link));
    QCOMPARE(httpGet(second.link).status, 200);
    shares.history()->flush();
    QCOMPARE(CShareHistory(shares.history()->directory(), nullptr).entries().size(), 2);
}

// The service makes a thumbnail only after it has answered the upload: asked too early, it says
// there is none yet, and the record asks again until it has one.
void TestShares::thumbnailMadeAfterTheAnswerIsFetchedLater()
{
    CTestHttpServer service;
    QVERIFY(service.listen());
    const QByteArray thumbnail = png({64, 36}, Qt::darkCyan);
    service.setHandler([&thumbnail](CTestHttpServer& server, int index) {
        server.respond(index, index < 2 ? CTestHttpServer::response(404, "none yet")
                                        : CTestHttpServer::response(200, thumbnail));
    });
    qputenv("BL_SERVICE_HOST", service.hostAndPort().toLatin1());
    CRecentShares shares(m_dir.filePath("late-thumbnail"), nullptr);
    const QString link = QStringLiteral("http://%1/LateThumb1").arg(service.hostAndPort());
    shares.recordShared(QStringLiteral("secret"), link, EShareKind::Picture, {});
    QTRY_VERIFY_WITH_TIMEOUT(!shares.find(link)->thumbnail.isEmpty(), 20000);
    qputenv("BL_SERVICE_HOST", m_service.host().toLatin1());
    QCOMPARE(service.exchanges().size(), 3);
    for (const CTestHttpServer::SExchange& exchange : service.exchanges())
        QVERIFY2(exchange.head.startsWith("GET /LateThumb1-thumb.png "), exchange.head.constData());
    QCOMPARE(QImage(shares.history()->thumbnailPath(*shares.find(link))).pixelColor(10, 10),
             QColor(Qt::darkCyan));
}

// A picture from a scaled screen is shown at its size on that screen; an expiry asked for with
// the reservation ends the picture that long after its upload.
void TestShares::scaleAndExpiryReachThePage()
{
    static const QRegularExpression times(
        QStringLiteral("Uploaded (\\S+ \\S+) UTC &middot; expires (\\S+ \\S+) UTC"));
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm");

    const SUploaded scaled = uploadOne(Qt::darkBlue, 1.5, 3600);
    QVERIFY(!scaled.link.isEmpty());
    const QString page = QString::fromUtf8(httpGet(scaled.link).body);
    QVERIFY2(page.contains(QLatin1String("width=\"267\" height=\"200\"")), qPrintable(page));
    const QRegularExpressionMatch match = times.match(page);
    QVERIFY2(match.hasMatch(), qPrintable(page));
    QCOMPARE(QDateTime::fromString(match.captured(1), format)
                 .secsTo(QDateTime::fromString(match.captured(2), format)),
             3600);

    const SUploaded plain = uploadOne(Qt::darkBlue);
    const QString plainPage = QString::fromUtf8(httpGet(plain.link).body);
    QVERIFY2(plainPage.contains(QLatin1String("width=\"400\" height=\"300\"")), qPrintable(plainPage));
    QVERIFY(!times.match(plainPage).hasMatch());
}

QTEST_MAIN(TestShares)
#include "tst_shares.moc"
