// The shell's focused parts that need no screen: tray icon rules, the tray menu's recent shares,
// the hotkey table and local shot files.
#include "app/hotkeytable.h"
#include "app/idlerelease.h"
#include "app/localshot.h"
#include "app/traymenu.h"
#include "app/traypresenter.h"
#include "platform/globalshortcut.h"
#include "platform/processtuning.h"
#include "resources/resources.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMovie>
#include <QPainter>
#include <QPixmapCache>
#include <QStyle>
#include <QTemporaryDir>
#include <QtMath>
#include <QtTest>

class TestParts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void uploadingAnimationNotRestarted();
    void doneShowsUploadedAnimationThenStandardIcon();
    void failureStopsBothAnimations();
    void animationLoopsReuseTheirFrames();
    void idleReleaseWaitsForTheAnimationsToStop();
    void recentShareIconsAreKeptAcrossRebuilds();
    void recentShareEntriesActOnTheShareShownNow();
    void idleReleaseSweepsThePixmapCacheKeys();
    void hotkeysNeverAttachTwice();
    void localShotsNeverOverwrite();
    void localShotWriterReportsOnceOnDisk();
};

void TestParts::initTestCase()
{
    BL::Resources::registerResources();
}

namespace {

// A movie of the test's own, started after the tray's were stopped: once it has turned three
// frames, any frame a tray movie still had due would have come too.
void waitForThreeFramesOfAnotherMovie()
{
    QMovie witness(QStringLiteral(":cam-uploading.gif"));
    QSignalSpy frames(&witness, &QMovie::frameChanged);
    witness.start();
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 4, 10000);
}

} // namespace

void TestParts::uploadingAnimationNotRestarted()
{
    BL::App::CTrayPresenter tray(QStringLiteral("Brightloom"), QIcon(QStringLiteral(":cam.png")), nullptr);
    auto* uploading = tray.findChild<QMovie*>(QStringLiteral("uploadingMovie"));
    auto* uploaded = tray.findChild<QMovie*>(QStringLiteral("uploadedMovie"));
    QVERIFY(uploading && uploaded);
    tray.beginBusy();
    QCOMPARE(uploading->state(), QMovie::Running);
    QTRY_VERIFY(uploading->currentFrameNumber() >= 2);
    const int frame = uploading->currentFrameNumber();
    QSignalSpy started(uploading, &QMovie::started);
    tray.beginBusy();
    QCOMPARE(started.count(), 0);
    QCOMPARE(uploading->state(), QMovie::Running);
    QVERIFY(uploading->currentFrameNumber() >= frame);
    QCOMPARE(uploaded->state(), QMovie::NotRunning);
}

void TestParts::doneShowsUploadedAnimationThenStandardIcon()
{
    BL::App::CTrayPresenter tray(QStringLiteral("Brightloom"), QIcon(QStringLiteral(":cam.png")), nullptr);
    auto* uploading = tray.findChild<QMovie*>(QStringLiteral("uploadingMovie"));
    auto* uploaded = tray.findChild<QMovie*>(QStringLiteral("uploadedMovie"));
    // Compared by what is shown, not by object identity.
    const auto shown = [&tray] { return tray.trayIcon()->icon().pixmap(32, 32).toImage(); };
    const QImage standard = QIcon(QStringLiteral(":cam.png")).pixmap(32, 32).toImage();
    QCOMPARE(shown(), standard);
    tray.beginBusy();
    QTRY_VERIFY(shown() != standard); // frames reach the tray
    // The moment the animation stops, as it happens.
    QElapsedTimer clock;
    qint64 stoppedAt = -1;
    connect(uploaded, &QMovie::stateChanged, this, [&](QMovie::MovieState state) {
        if (state == QMovie::NotRunning && stoppedAt < 0)
            stoppedAt = clock.elapsed();
    });
    clock.start();
    tray.markDone();
    QCOMPARE(uploading->state(), QMovie::NotRunning);
    QCOMPARE(uploaded->state(), QMovie::Running);
    QTRY_VERIFY_WITH_TIMEOUT(stoppedAt >= 0, 15000);
    // The standard icon follows the stop: a frame after the reset would stay on the tray.
    QTRY_COMPARE_WITH_TIMEOUT(shown(), standard, 15000);
    // Timers never fire early, so a shorter animation shows here whatever the load. Precise
    // timers round to the millisecond.
    QVERIFY2(stoppedAt >= 4999, qPrintable(QString::number(stoppedAt)));
    QCOMPARE(uploaded->state(), QMovie::NotRunning);
}

void TestParts::failureStopsBothAnimations()
{
    BL::App::CTrayPresenter tray(QStringLiteral("Brightloom"), QIcon(QStringLiteral(":cam.png")), nullptr);
    const auto shown = [&tray] { return tray.trayIcon()->icon().pixmap(32, 32).toImage(); };
    const QImage standard = QIcon(QStringLiteral(":cam.png")).pixmap(32, 32).toImage();
    // A second upload fails while the first one's done animation still plays.
    tray.markDone();
    tray.startUploadingAnimation();
    QTRY_VERIFY(shown() != standard);
    tray.markFailed(QStringLiteral("Uploading failed."), 10);
    for (QMovie* movie : tray.findChildren<QMovie*>())
        QCOMPARE(movie->state(), QMovie::NotRunning);
    QCOMPARE(shown(), standard);
    waitForThreeFramesOfAnotherMovie(); // no late frame comes back meanwhile
    QCOMPARE(shown(), standard);
}

// Each frame the tray shows is scaled once into the pixmap cache, keyed by the frame: frames
// decoded anew on every loop filled the cache with copies (and the heap with holes) shot
// after shot.
void TestParts::animationLoopsReuseTheirFrames()
{
    BL::App::CTrayPresenter tray(QStringLiteral("Brightloom"), QIcon(QStringLiteral(":cam.png")), nullptr);
    auto* uploading = tray.findChild<QMovie*>(QStringLiteral("uploadingMovie"));
    QVERIFY(uploading);
    QSet<qint64> shownFrames;
    int changes = 0;
    connect(uploading, &QMovie::frameChanged, &tray, [&] {
        shownFrames.insert(tray.trayIcon()->icon().pixmap(16, 16).cacheKey());
        ++changes;
    });
    tray.beginBusy();
    const int frames = uploading->frameCount();
    QVERIFY(frames > 1);
    QTRY_VERIFY_WITH_TIMEOUT(changes >= 3 * frames, 30000);
    QVERIFY2(
        shownFrames.size() <= frames,
        qPrintable(QStringLiteral("%1 distinct pictures for %2 frames").arg(shownFrames.size()).arg(frames)));
}

void TestParts::idleReleaseWaitsForTheAnimationsToStop()
{
    BL::App::CTrayPresenter tray(QStringLiteral("Brightloom"), QIcon(QStringLiteral(":cam.png")), nullptr);
    // Asked while the uploaded animation runs, the release comes once it has stopped by itself.
    tray.markDone();
    QPointer<QMovie> uploaded = tray.findChild<QMovie*>(QStringLiteral("uploadedMovie"));
    QVERIFY(uploaded);
    QCOMPARE(uploaded->state(), QMovie::Running);
    QSignalSpy stopped(uploaded.data(), &QMovie::stateChanged);
    tray.releaseAnimations();
    QVERIFY(uploaded);
    QTRY_VERIFY_WITH_TIMEOUT(uploaded.isNull(), 15000);
    QCOMPARE(stopped.count(), 1);
    auto* fresh = tray.findChild<QMovie*>(QStringLiteral("uploadedMovie"));
    QVERIFY(fresh);
    QCOMPARE(fresh->state(), QMovie::NotRunning);
}

void TestParts::hotkeysNeverAttachTwice()
{
    qRegisterMetaType<BL::App::EHotkey>();
    BL::App::CHotkeyTable table(nullptr);
    QSignalSpy activated(&table, &BL::App::CHotkeyTable::activated);
    CGlobalShortcut* drop = table.shortcut(BL::App::DropWidgetHotkey);
    QCOMPARE(table.portableText(BL::App::DropWidgetHotkey), QStringLiteral("Ctrl+Alt+D"));

    drop->trigger(); // detached until enabled
    QCOMPARE(activated.count(), 0);
    table.enable();
    table.enable(); // as after an accepted options dialog that already re-enabled them
    drop->trigger();
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.at(0).at(0).value<BL::App::EHotkey>(), BL::App::DropWidgetHotkey);

    table.disable();
    drop->trigger();
    QCOMPARE(activated.count(), 1);
    table.enable();
    table.shortcut(BL::App::LocalShotHotkey)->trigger();
    QCOMPARE(activated.count(), 2);
    QCOMPARE(activated.at(1).at(0).value<BL::App::EHotkey>(), BL::App::LocalShotHotkey);

    // A stored empty text keeps the default; a stored one replaces it.
    table.applyStored(BL::App::SingleShotHotkey, QString());
    QCOMPARE(table.portableText(BL::App::SingleShotHotkey), QStringLiteral("Ctrl+Alt+P"));
    table.applyStored(BL::App::SingleShotHotkey, QStringLiteral("Ctrl+Shift+F9"));
    QCOMPARE(table.portableTexts()[BL::App::SingleShotHotkey], QStringLiteral("Ctrl+Shift+F9"));
}

void TestParts::localShotsNeverOverwrite()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDateTime when(QDate(2026, 1, 31), QTime(23, 59, 59));
    QImage red(7, 5, QImage::Format_RGB32);
    red.fill(Qt::red);
    QImage blue = red;
    blue.fill(Qt::blue);

    QStringList names;
    for (const QImage& image : {red, blue, blue}) {
        const auto result = BL::App::saveLocalShot(QPixmap::fromImage(image), dir.path(), when);
        QVERIFY2(result.saved, qPrintable(result.error));
        names << QFileInfo(result.fileName).fileName();
    }
    QCOMPARE(names, (QStringList{"2026.01.31_23.59.59_shot.png", "2026.01.31_23.59.59-2_shot.png",
                                 "2026.01.31_23.59.59-3_shot.png"}));
    // The first shot is still the first picture.
    QCOMPARE(QImage(dir.filePath(names.first())).pixelColor(3, 2), QColor(Qt::red));

    // A missing directory is reported, not created.
    const QString missing = dir.filePath(QStringLiteral("gone"));
    const auto result = BL::App::saveLocalShot(QPixmap::fromImage(red), missing, when);
    QVERIFY(!result.saved);
    QVERIFY(!result.error.isEmpty());
    QVERIFY(!QFileInfo::exists(missing));
}

void TestParts::localShotWriterReportsOnceOnDisk()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDateTime when(QDate(2026, 2, 3), QTime(4, 5, 6));
    QImage picture(640, 480, QImage::Format_RGB32); // large enough to take a while on the worker
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x % 256, y % 256, (x * y) % 256));

    BL::App::CLocalShotWriter writer(nullptr);
    QList<BL::App::SLocalShotResult> results;
    QObject::connect(&writer, &BL::App::CLocalShotWriter::written,
                     [&results](const BL::App::SLocalShotResult& result) { results << result; });
    // Two shots in the same second, both in flight at once: neither may take the other's name.
    writer.write(QPixmap::fromImage(picture), dir.path(), when);
    writer.write(QPixmap::fromImage(picture.mirrored()), dir.path(), when);
    writer.write(QPixmap::fromImage(picture), dir.filePath(QStringLiteral("gone")), when);
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 3, 30000);
    // One report per write: a second report of any of them was due before a fourth write,
    // started now, can report.
    QTemporaryDir later;
    QVERIFY(later.isValid());
    writer.write(QPixmap::fromImage(picture), later.path(), when);
    QTRY_VERIFY_WITH_TIMEOUT(results.size() > 3 && results.last().fileName.startsWith(later.path()), 30000);
    QCOMPARE(results.size(), 4);
    results.removeLast();

    QStringList names;
    for (const auto& result : results) {
        if (!result.saved) {
            QVERIFY(!result.error.isEmpty());
            QVERIFY(result.fileName.startsWith(dir.filePath(QStringLiteral("gone"))));
            continue;
        }
        names << QFileInfo(result.fileName).fileName();
        // On disk and complete by the time it is reported.
        const QImage back(result.fileName);
        QVERIFY(back == picture || back == picture.mirrored());
    }
    names.sort();
    QCOMPARE(names, (QStringList{"2026.02.03_04.05.06-2_shot.png", "2026.02.03_04.05.06_shot.png"}));
    QVERIFY(QImage(dir.filePath(names.at(0))) != QImage(dir.filePath(names.at(1))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("gone"))));
}

// An icon made anew at each rebuild of "Recent shares" left a new key in Qt's pixmap cache at
// each painting, which the idle release's clear() never took back: unchanged thumbnails keep
// their icons, and a thumbnail written again is read again.
void TestParts::recentShareIconsAreKeptAcrossRebuilds()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("thumbnail.png"));
    QImage picture(32, 24, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    QVERIFY(picture.save(path, "PNG"));
    BL::App::SShareRecord older, newer;
    older.link = QStringLiteral("http://127.0.0.1:9/older");
    newer.link = QStringLiteral("http://127.0.0.1:9/newer");
    older.time = newer.time = QDateTime::currentDateTime();
    const auto thumbnail = [&](const BL::App::SShareRecord& record) {
        return record.link == older.link ? path : QString();
    };

    BL::App::CTrayMenu menu(nullptr);
    const auto iconOf = [&menu](int entry) {
        return menu.recentSharesMenu()->actions().value(entry)->icon();
    };
    const auto colourOf = [](const QIcon& icon) { return icon.pixmap(32, 24).toImage().pixelColor(5, 5); };
    menu.setRecentShares({older}, thumbnail);
    emit menu.aboutToShow();
    const qint64 first = iconOf(0).cacheKey();
    QCOMPARE(colourOf(iconOf(0)), QColor(Qt::darkGreen));
    // Held at the size the menu draws it, not the file's.
    const int side = qCeil(menu.style()->pixelMetric(QStyle::PM_SmallIconSize) * menu.devicePixelRatioF());
    QVERIFY(side < picture.width());
    QCOMPARE(iconOf(0).availableSizes(), (QList<QSize>{QSize(side, side * 3 / 4)}));

    menu.setRecentShares({newer, older}, thumbnail);
    emit menu.aboutToShow();
    QVERIFY(iconOf(0).isNull());
    QCOMPARE(iconOf(1).cacheKey(), first);

    picture = QImage(40, 30, QImage::Format_RGB32);
    picture.fill(Qt::darkRed);
    QVERIFY(picture.save(path, "PNG"));
    menu.setRecentShares({older}, thumbnail);
    emit menu.aboutToShow();
    QVERIFY(iconOf(0).cacheKey() != first);
    QCOMPARE(colourOf(iconOf(0)), QColor(Qt::darkRed));
}

// The entries' submenus are made once and filled again at each rebuild, so that a share no
// longer leaves menus made and deleted behind it: each entry acts on the share it shows now.
void TestParts::recentShareEntriesActOnTheShareShownNow()
{
    BL::App::SShareRecord first, second, failed;
    first.link = QStringLiteral("http://127.0.0.1:9/first");
    second.link = QStringLiteral("http://127.0.0.1:9/second");
    failed.state = BL::App::EShareState::UploadFailed;
    failed.keptFile = QStringLiteral("/kept/failed.png");
    first.time = second.time = failed.time = QDateTime::currentDateTime();
    BL::App::CTrayMenu menu(nullptr);
    QSignalSpy copies(&menu, &BL::App::CTrayMenu::copyShareRequested);
    QSignalSpy retries(&menu, &BL::App::CTrayMenu::retryShareRequested);
    const auto entry = [&menu](int index) { return menu.recentSharesMenu()->actions().value(index)->menu(); };
    const auto shown = [](QMenu* menu) {
        QStringList texts;
        for (QAction* action : menu->actions())
            if (action->isVisible())
                texts << action->text();
        return texts;
    };

    menu.setRecentShares({first, second}, {});
    emit menu.aboutToShow();
    QMenu* const top = entry(0);
    QCOMPARE(shown(top), (QStringList{QStringLiteral("&Copy link"), QStringLiteral("&Open"),
                                      QStringLiteral("&Delete...")}));
    top->defaultAction()->trigger();
    QCOMPARE(copies.takeFirst().at(0).toString(), first.link);

    menu.setRecentShares({failed, second}, {});
    emit menu.aboutToShow();
    QCOMPARE(entry(0), top);
    QCOMPARE(shown(top), QStringList{QStringLiteral("&Retry upload")});
    QVERIFY(!top->defaultAction());
    top->actions().value(0)->trigger();
    QCOMPARE(retries.takeFirst().at(0).toString(), failed.keptFile);

    menu.setRecentShares({second}, {});
    emit menu.aboutToShow();
    QCOMPARE(menu.recentSharesMenu()->actions().size(), 2);
    QVERIFY(!menu.recentSharesMenu()->actions().at(1)->isVisible());
    top->defaultAction()->trigger();
    QCOMPARE(copies.takeFirst().at(0).toString(), second.link);
    QCOMPARE(copies.size(), 0);
}

// Qt's QPixmapCache::clear() keeps a record of some 200 bytes for each text key of the pixmaps it
// drops. The release has the cache sweep them, and its second trim gives them back.
void TestParts::idleReleaseSweepsThePixmapCacheKeys()
{
    constexpr int kKeys = 3000;
    QPixmap pixel(1, 1);
    pixel.fill(Qt::red);
    BL::App::CIdleRelease idle(nullptr);
    QSignalSpy releases(&idle, &BL::App::CIdleRelease::releasing);
    for (int i = 0; i < kKeys; ++i)
        QPixmapCache::insert(QStringLiteral("tst-parts-sweep-%1-with-a-name-as-long-as-qt-makes").arg(i),
                             pixel);
    idle.restart();
    QVERIFY(releases.wait(10000));
    // Right after the release's clear() the keys are still held.
    const long long held = BL::Platform::heapBytesInUse();
    QTRY_VERIFY_WITH_TIMEOUT(BL::Platform::heapBytesInUse() < held - kKeys * 150,
                             BL::App::CIdleRelease::kTrimAfterReleaseMs + 15000);
    QPixmap found;
    QVERIFY(!QPixmapCache::find(QStringLiteral("tst-parts-sweep-0-with-a-name-as-long-as-qt-makes"), &found));
}

QTEST_MAIN(TestParts)
#include "tst_parts.moc"
