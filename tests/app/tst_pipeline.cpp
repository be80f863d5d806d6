// The upload pipeline offscreen, against the real service on loopback, with a recording
// clipboard and notifier in place of the system clipboard and the tray.
#include "api/servermanager.h"
#include "app/localshot.h"
#include "app/uploadpipeline.h"
#include "serviceprocess.h"
#include "testhttpserver.h"

#include <QImage>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPixmap>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using BL::Test::CServiceProcess;
using BL::Test::httpGet;

namespace {

// Everything the pipeline told the outside world, in order.
struct SRecorder
{
    QStringList events;
    QStringList clipboard;
    QString link;
    QList<QPixmap> unsent;

    BL::App::SUploadNotifier notifier()
    {
        BL::App::SUploadNotifier n;
        n.started = [this] { events << QStringLiteral("started"); };
        n.reserved = [this](const QString& code, const QString& url) {
            events << QStringLiteral("reserved");
            QVERIFY(!code.isEmpty());
            // The code the upload names is the service's secret; the link shows another one.
            QVERIFY(!url.isEmpty() && !url.contains(code));
        };
        n.uploaded = [this](const QString& l) {
            events << QStringLiteral("uploaded");
            link = l;
        };
        n.uploadFailed = [this](const QString& e, const QList<QPixmap>& pictures) {
            events << QStringLiteral("uploadFailed: ") + e;
            unsent = pictures;
        };
        n.reservationFailed = [this](const QString& e, const QList<QPixmap>& pictures) {
            events << QStringLiteral("reservationFailed: ") + e;
            unsent = pictures;
        };
        return n;
    }
    BL::App::ClipboardWriter clipboardWriter()
    {
        return [this](const QString& text) { clipboard << text; };
    }
    bool finished() const
    {
        return !events.isEmpty() && !events.last().startsWith(QLatin1String("started")) &&
               !events.last().startsWith(QLatin1String("reserved"));
    }
};

QPixmap solid(const QSize& size, const QColor& colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return QPixmap::fromImage(image);
}

// Counts the service's answers as the program has handled them: the manager's own handler of
// a finished reply is connected first, so it has run by the time the count moves.
std::unique_ptr<QSignalSpy> answerCounter()
{
    auto* network = CServerManager::instance()->findChild<QNetworkAccessManager*>();
    return network ? std::make_unique<QSignalSpy>(network, &QNetworkAccessManager::finished) : nullptr;
}

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void eachKindPutsTheLinkFirstAndUploads();
    void failedReservationLeavesClipboardAlone();
    void refusedUploadKeepsTheReservedLink();
    void nullPicturesUploadNothing();
    void reservationSentAheadWaitsForItsPicture();
    void silentServiceTimesOutAndHandsThePicturesBack();
    void unsentPicturesAreKeptAsLocalShots();

private:
    // Sends the requests to a port nothing listens on (taken, then given back) until the
    // returned guard goes.
    auto pointAtClosedPort()
    {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        const quint16 port = closed.serverPort();
        closed.close();
        qputenv("BL_SERVICE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));
        return qScopeGuard([this] { qputenv("BL_SERVICE_HOST", m_service.host().toLatin1()); });
    }

    QTemporaryDir m_dir;
    CServiceProcess m_service;
};

void TestPipeline::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Small uploads only, so that a noisy picture is refused; private fetches for the URL kind.
    QVERIFY2(m_service.start(m_dir.filePath("service"), {"--allow-private-fetch", "--max-upload-mb", "1"}),
             qPrintable(m_service.log()));
    qputenv("BL_SERVICE_HOST", m_service.host().toLatin1());
}

void TestPipeline::cleanupTestCase()
{
    m_service.stop();
}

void TestPipeline::eachKindPutsTheLinkFirstAndUploads()
{
    const QStringList done = {"started", "reserved", "uploaded"};

    SRecorder single;
    BL::App::CUploadPipeline pipeline(single.clipboardWriter(), single.notifier(), nullptr);
    pipeline.uploadPicture(solid(QSize(201, 151), Qt::red));
    QTRY_VERIFY_WITH_TIMEOUT(single.finished(), 10000);
    QCOMPARE(single.events, done);
    QCOMPARE(single.clipboard.size(), 1);
    const QString link = single.clipboard.first();
    const QImage served = QImage::fromData(httpGet(link + QStringLiteral(".png")).body, "PNG");
    QCOMPARE(served.size(), QSize(201, 151));
    QCOMPARE(served.pixelColor(100, 75), QColor(Qt::red));

    SRecorder pair;
    BL::App::CUploadPipeline pairPipeline(pair.clipboardWriter(), pair.notifier(), nullptr);
    pairPipeline.uploadPair(solid(QSize(31, 41), Qt::green), solid(QSize(12, 13), Qt::blue));
    QTRY_VERIFY_WITH_TIMEOUT(pair.finished(), 10000);
    QCOMPARE(pair.events, done);
    const QString pairLink = pair.clipboard.value(0);
    QCOMPARE(QImage::fromData(httpGet(pairLink + ".png").body, "PNG").size(), QSize(31, 41));
    QCOMPARE(QImage::fromData(httpGet(pairLink + "-2.png").body, "PNG").pixelColor(5, 5), QColor(Qt::blue));

    // The service fetches the first picture again by its address.
    SRecorder url;
    BL::App::CUploadPipeline urlPipeline(url.clipboardWriter(), url.notifier(), nullptr);
    urlPipeline.uploadUrl(QUrl(link + QStringLiteral(".png")));
    QTRY_VERIFY_WITH_TIMEOUT(url.finished(), 10000);
    QCOMPARE(url.events, done);
    QVERIFY(url.clipboard.value(0) != link);
    QCOMPARE(QImage::fromData(httpGet(url.clipboard.value(0) + ".png").body, "PNG").size(), QSize(201, 151));
}

void TestPipeline::failedReservationLeavesClipboardAlone()
{
    const auto restore = pointAtClosedPort();

    SRecorder recorder;
    BL::App::CUploadPipeline pipeline(recorder.clipboardWriter(), recorder.notifier(), nullptr);
    pipeline.uploadPicture(solid(QSize(10, 10), Qt::red));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 10000);
    QCOMPARE(recorder.events.size(), 2);
    QVERIFY2(
        recorder.events.last().startsWith("reservationFailed: Reserving code failed.\nNetwork error #1: "),
        qPrintable(recorder.events.last()));
    QVERIFY(recorder.clipboard.isEmpty());
}

void TestPipeline::refusedUploadKeepsTheReservedLink()
{
    // Noise does not compress: far above the service's 1 MB limit as PNG.
    QImage noise(1200, 1000, QImage::Format_RGB32);
    auto* random = QRandomGenerator::global();
    for (int y = 0; y < noise.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(noise.scanLine(y));
        for (int x = 0; x < noise.width(); ++x)
            line[x] = random->generate() | 0xff000000u;
    }
    SRecorder recorder;
    BL::App::CUploadPipeline pipeline(recorder.clipboardWriter(), recorder.notifier(), nullptr);
    pipeline.uploadPicture(QPixmap::fromImage(noise));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 20000);
    QCOMPARE(recorder.events.mid(0, 2), (QStringList{"started", "reserved"}));
    QVERIFY2(recorder.events.last().startsWith("uploadFailed: Uploading failed.\n"),
             qPrintable(recorder.events.last()));
    // The link stays on the clipboard, and nothing is served under it.
    QCOMPARE(recorder.clipboard.size(), 1);
    QCOMPARE(httpGet(recorder.clipboard.first() + ".png").status, 404);
}

void TestPipeline::nullPicturesUploadNothing()
{
    SRecorder recorder;
    BL::App::CUploadPipeline pipeline(recorder.clipboardWriter(), recorder.notifier(), nullptr);
    QTest::ignoreMessage(
        QtDebugMsg, "void BL::startUploadingSnapshot(const QPixmap &pm). Null pixmap was tried to upload");
    pipeline.uploadPicture(QPixmap());
    pipeline.uploadPair(solid(QSize(5, 5), Qt::red), QPixmap());
    pipeline.uploadPair(QPixmap(), solid(QSize(5, 5), Qt::red));
    // Anything the null pictures had started would show before a real picture's upload ends.
    pipeline.uploadPicture(solid(QSize(6, 6), Qt::blue));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 10000);
    QCOMPARE(recorder.events, (QStringList{"started", "reserved", "uploaded"}));
    QCOMPARE(recorder.clipboard.size(), 1);
}

// The single shot reserves as the person lets go, before the grab: the answer must wait for the
// picture, the link must not reach the clipboard for a grab that gave nothing, and a failure
// must still hand the picture back.
void TestPipeline::reservationSentAheadWaitsForItsPicture()
{
    const QStringList done = {"started", "reserved", "uploaded"};
    SRecorder early;
    BL::App::CUploadPipeline pipeline(early.clipboardWriter(), early.notifier(), nullptr);
    const auto answers = answerCounter();
    QVERIFY(answers);
    pipeline.reserveAhead();
    QTRY_COMPARE_WITH_TIMEOUT(answers->count(), 1, 10000); // the reservation's answer is in
    QVERIFY(early.events.isEmpty());
    QVERIFY(early.clipboard.isEmpty());
    pipeline.uploadPicture(solid(QSize(64, 48), Qt::darkCyan));
    QTRY_VERIFY_WITH_TIMEOUT(early.finished(), 10000);
    QCOMPARE(early.events, done);
    QCOMPARE(early.clipboard.size(), 1);
    const QImage served = QImage::fromData(httpGet(early.clipboard.first() + ".png").body, "PNG");
    QCOMPARE(served.size(), QSize(64, 48));
    QCOMPARE(served.pixelColor(10, 10), QColor(Qt::darkCyan));

    // A grab that gave nothing drops its reservation; the next picture reserves anew.
    SRecorder nothing;
    BL::App::CUploadPipeline nothingPipeline(nothing.clipboardWriter(), nothing.notifier(), nullptr);
    answers->clear();
    nothingPipeline.reserveAhead();
    QTest::ignoreMessage(
        QtDebugMsg, "void BL::startUploadingSnapshot(const QPixmap &pm). Null pixmap was tried to upload");
    nothingPipeline.uploadPicture(QPixmap());
    QTRY_COMPARE_WITH_TIMEOUT(answers->count(), 1, 10000); // the dropped reservation's answer is in
    QVERIFY(nothing.events.isEmpty());
    QVERIFY(nothing.clipboard.isEmpty());
    nothingPipeline.uploadPicture(solid(QSize(8, 8), Qt::yellow));
    QTRY_VERIFY_WITH_TIMEOUT(nothing.finished(), 10000);
    QCOMPARE(nothing.events, done);
    QCOMPARE(nothing.clipboard.size(), 1);

    // Refused before the picture came: reported once it does, with the picture handed back.
    const auto restore = pointAtClosedPort();
    SRecorder refused;
    BL::App::CUploadPipeline refusedPipeline(refused.clipboardWriter(), refused.notifier(), nullptr);
    answers->clear();
    refusedPipeline.reserveAhead();
    QTRY_COMPARE_WITH_TIMEOUT(answers->count(), 1, 10000); // the refusal is in
    QVERIFY(refused.events.isEmpty());
    refusedPipeline.uploadPicture(solid(QSize(9, 9), Qt::magenta));
    QTRY_VERIFY_WITH_TIMEOUT(refused.finished(), 10000);
    QCOMPARE(refused.events.size(), 2);
    QVERIFY2(
        refused.events.last().startsWith("reservationFailed: Reserving code failed.\nNetwork error #1: "),
        qPrintable(refused.events.last()));
    QCOMPARE(refused.unsent.size(), 1);
    QCOMPARE(refused.unsent.first().toImage().pixelColor(4, 4), QColor(Qt::magenta));
    QVERIFY(refused.clipboard.isEmpty());
}

void TestPipeline::silentServiceTimesOutAndHandsThePicturesBack()
{
    // Takes every connection and never answers; `answerReservations` lets the reservation through
    // so that the upload is the one left hanging.
    bool answerReservations = false;
    CTestHttpServer silent;
    QVERIFY(silent.listen());
    silent.setHandler([&answerReservations](CTestHttpServer& server, int index) {
        if (answerReservations && server.exchanges().at(index).head.startsWith("POST /api/reserve_code"))
            server.respond(index, CTestHttpServer::response(200, "{\"status\":\"ok\",\"code\":\"abc\","
                                                                 "\"url\":\"http://x/pub1\"}"));
    });
    qputenv("BL_SERVICE_HOST", silent.hostAndPort().toLatin1());
    const auto restore = qScopeGuard([this] { qputenv("BL_SERVICE_HOST", m_service.host().toLatin1()); });

    SRecorder reservation;
    BL::App::CUploadPipeline pipeline(reservation.clipboardWriter(), reservation.notifier(), nullptr);
    pipeline.setTransferTimeout(1500);
    pipeline.uploadPicture(solid(QSize(20, 10), Qt::red));
    QTRY_VERIFY_WITH_TIMEOUT(reservation.finished(), 20000);
    QCOMPARE(reservation.events.size(), 2);
    QVERIFY2(reservation.events.last().startsWith("reservationFailed: Reserving code failed.\n"),
             qPrintable(reservation.events.last()));
    QVERIFY(reservation.clipboard.isEmpty());
    QCOMPARE(reservation.unsent.size(), 1);
    QCOMPARE(reservation.unsent.first().toImage().pixelColor(3, 3), QColor(Qt::red));

    answerReservations = true;
    SRecorder upload;
    BL::App::CUploadPipeline pairPipeline(upload.clipboardWriter(), upload.notifier(), nullptr);
    pairPipeline.setTransferTimeout(1500);
    pairPipeline.uploadPair(solid(QSize(7, 8), Qt::green), solid(QSize(9, 6), Qt::blue));
    QTRY_VERIFY_WITH_TIMEOUT(upload.finished(), 20000);
    QCOMPARE(upload.events.mid(0, 2), (QStringList{"started", "reserved"}));
    QVERIFY2(upload.events.last().startsWith("uploadFailed: "), qPrintable(upload.events.last()));
    // The reserved link stays; both pictures come back in upload order.
    QCOMPARE(upload.clipboard, QStringList{"http://x/pub1"});
    QCOMPARE(upload.unsent.size(), 2);
    QCOMPARE(upload.unsent.at(0).size(), QSize(7, 8));
    QCOMPARE(upload.unsent.at(1).toImage().pixelColor(1, 1), QColor(Qt::blue));
}

void TestPipeline::unsentPicturesAreKeptAsLocalShots()
{
    QTemporaryDir storage;
    QVERIFY(storage.isValid());
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7));
    const QStringList names = BL::App::keepUnsentPictures(
        {solid(QSize(4, 3), Qt::red), QPixmap(), solid(QSize(2, 2), Qt::blue)}, storage.path(), when);
    QCOMPARE(names, (QStringList{storage.filePath("2026.03.04_05.06.07_shot.png"),
                                 storage.filePath("2026.03.04_05.06.07-2_shot.png")}));
    QCOMPARE(QImage(names.at(0)).pixelColor(1, 1), QColor(Qt::red));
    QCOMPARE(QImage(names.at(1)).size(), QSize(2, 2));
    // A directory that cannot be written keeps nothing and says so in the log only.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not keep an unsent picture"));
    QVERIFY(BL::App::keepUnsentPictures({solid(QSize(2, 2), Qt::red)}, storage.filePath("missing"), when)
                .isEmpty());
}

QTEST_MAIN(TestPipeline)
#include "tst_pipeline.moc"
