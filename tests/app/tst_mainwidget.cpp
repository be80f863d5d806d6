// The main widget in-process on a real X session with a tray host.
#include "app/brightloommainwidget.h"
#include "app/idlerelease.h"
#include "app/textshot.h"
#include "app/traypresenter.h"
#include "capture/helpscreen.h"
#include "capture/textlanguages.h"
#include "diagnostics/crashreporter.h"
#include "resources/resources.h"

#include <QAction>
#include <QBackingStore>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QMenu>
#include <QMovie>
#include <QPixmapCache>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The entry of `menu` with this text, wherever other entries put it; nullptr when there is none.
QAction* menuAction(const QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// A shown window of Qt's own for the tray (the icon, a balloon), by its class; nullptr when none.
QWidget* shownTrayWindow(const char* className)
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows)
        if (window->isVisible() && window->inherits(className))
            return window;
    return nullptr;
}

} // namespace

class TestMainWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void trayMenuEntries();
    void welcomeScreenOnlyOnFirstStart();
    void storedValuesSurviveRestart();
    void loneUserNameRemovedAtNextWrite();
    void defaultStorageDirectoryCreated();
    void muteTakesEffectAndIsStoredAtOnce();
    void fileDialogLocksMenuUntilItEnds();
    void importFromMenuChoosesTheDestination();
    void damagedOrUnwritableSettings();
    void dropWidgetToggleAndPlaceSurviveRestart();
    void menuUnlockedWhicheverWayDialogsEnd();
    void overlayWindowIsReadyFromStartAndKept();
    void lastBalloonGoesWhenTheNextShotBegins();
    void trayIconWaitsWhileTheOverlayIsUp();
    void changedTrayIconIsPaintedBeforeTheOverlayOpens();
    void textLanguagesChosenAndStored();

private:
    std::unique_ptr<CBrightloomMainWidget> makeWidget();
    QSettings stored() const { return QSettings(m_confPath, QSettings::IniFormat); }

    QTemporaryDir m_dir;
    QString m_confPath;
};

void TestMainWidget::initTestCase()
{
    BL::Resources::registerResources();
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY(m_dir.isValid());
}

void TestMainWidget::init()
{
    // A fresh settings location for every case.
    static int round = 0;
    const QString dir = m_dir.filePath(QString::number(++round));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    m_confPath = dir + QStringLiteral("/Brightloom/Brightloom.conf");
}

std::unique_ptr<CBrightloomMainWidget> TestMainWidget::makeWidget()
{
    return std::make_unique<CBrightloomMainWidget>(createCrashReporter());
}

void TestMainWidget::trayMenuEntries()
{
    auto widget = makeWidget();
    auto* menu = widget->findChild<QMenu*>(QStringLiteral("trayMenu"));
    QVERIFY(menu);
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << (a->isSeparator() ? QStringLiteral("--") : a->text());
    const QStringList expected = {"&Upload file...",
                                  "Upload image from U&RL...",
                                  "--",
                                  "&History",
                                  "Sign in\u2026",
                                  "--",
                                  "&Keyboard shortcuts...",
                                  "Choose s&torage dir...",
                                  "Mute &sound",
                                  "--",
                                  "Upload &to",
                                  "R&ecent shares",
                                  "Ex&pire new shares",
                                  "--",
                                  "Copy te&xt from area",
                                  "Text languages",
                                  "--",
                                  "Check for &Updates",
                                  "&About Brightloom",
                                  "--",
                                  "&Quit"};
    QCOMPARE(texts, expected);
    QVERIFY(!menu->actions().at(3)->isVisible()); // History waits for a sign-in
    QAction* mute = menu->actions().at(8);
    QVERIFY(mute->isCheckable());
    QVERIFY(!mute->isChecked());
    // These sessions have no audio output device.
    QVERIFY(!mute->isEnabled());
    // English data is installed here: the text shot acts, and reads English.
    const QAction* textShot = menuAction(menu, QStringLiteral("Copy te&xt from area"));
    QVERIFY(textShot && textShot->isEnabled());
    const QMenu* languages = menuAction(menu, QStringLiteral("Text languages"))->menu();
    QVERIFY(languages);
    const auto english = std::find_if(languages->actions().cbegin(), languages->actions().cend(),
                                      [](const QAction* a) { return a->data().toString() == "eng"; });
    QVERIFY(english != languages->actions().cend() && (*english)->isChecked());
    auto* tray = widget->findChild<QSystemTrayIcon*>(QStringLiteral("trayIcon"));
    QVERIFY(tray && tray->isVisible());
    QCOMPARE(tray->contextMenu(), menu);
}

void TestMainWidget::welcomeScreenOnlyOnFirstStart()
{
    {
        auto widget = makeWidget();
        auto* help = widget->findChild<CHelpScreen*>(QStringLiteral("helpScreen"));
        QVERIFY(help);
        QVERIFY(help->isVisible());
        QVERIFY(widget->isVisible()); // the host shows it full screen
        QCOMPARE(help->helpImagePath(), QStringLiteral(":cam.png"));
        QCOMPARE(help->helpText(),
                 QStringLiteral("Welcome to Brightloom!\n\nIn the future, you just have to hit "
                                "Ctrl+Alt+P\nanytime to grab screen. Enjoy selecting!"));
        // Written at once, not only at exit.
        QCOMPARE(stored().value("show_pre_help").toBool(), true);
        QTest::keyClick(widget.get(), Qt::Key_Space);
        QTRY_VERIFY(!widget->isVisible()); // the emptied host does not linger
    }
    {
        QSettings s = stored();
        s.setValue("single_shot_shortcut", "Ctrl+Shift+F9");
        s.setValue("show_pre_help", false);
    }
    auto widget = makeWidget();
    QVERIFY(
        widget->findChild<CHelpScreen*>(QStringLiteral("helpScreen"))->helpText().contains("Ctrl+Shift+F9"));
    widget.reset();
    QVERIFY(!makeWidget()->isVisible());
}

void TestMainWidget::storedValuesSurviveRestart()
{
    const QString chosenDir = m_dir.filePath(QStringLiteral("not-there"));
    {
        QSettings s = stored();
        s.setValue("single_shot_shortcut", "Ctrl+Shift+F9");
        s.setValue("local_shot_shortcut", "Meta+L");
        s.setValue("sound_enabled", false);
        s.setValue("show_pre_help", true);
        s.setValue("show_paste_help", true);
        s.setValue("local_storage_dir", chosenDir);
        s.setValue("drop_widget_pos_x", 10);
        s.setValue("drop_widget_pos_y", 20);
        s.setValue("drop_widget_visible", true);
    }
    {
        auto widget = makeWidget();
        auto* menu = widget->findChild<QMenu*>(QStringLiteral("trayMenu"));
        QVERIFY(menu->actions().at(8)->isChecked()); // sound off shows as "muted"
    }
    QSettings s = stored();
    QCOMPARE(s.value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Shift+F9"));
    QCOMPARE(s.value("local_shot_shortcut").toString(), QStringLiteral("Meta+L"));
    QCOMPARE(s.value("comparison_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+M"));
    QCOMPARE(s.value("sound_enabled").toBool(), false);
    QCOMPARE(s.value("show_pre_help").toBool(), true);
    QCOMPARE(s.value("show_paste_help").toBool(), true);
    QCOMPARE(s.value("local_storage_dir").toString(), chosenDir);
    QCOMPARE(s.value("drop_widget_pos_x").toInt(), 10);
    QCOMPARE(s.value("drop_widget_pos_y").toInt(), 20);
    QCOMPARE(s.value("drop_widget_visible").toBool(), true);
    // A chosen directory is never created behind the user's back.
    QVERIFY(!QFileInfo::exists(chosenDir));
}

void TestMainWidget::loneUserNameRemovedAtNextWrite()
{
    {
        QSettings s = stored();
        s.setValue("user_name", "someone@example.org");
        s.setValue("show_pre_help", true);
    }
    makeWidget().reset();
    QSettings s = stored();
    QVERIFY(!s.contains("user_name"));
    QVERIFY(!s.contains("user_hash"));
}

void TestMainWidget::defaultStorageDirectoryCreated()
{
    const QString dir = QDir::homePath() + QStringLiteral("/brightloom_screens");
    QDir(dir).removeRecursively();
    auto widget = makeWidget();
    QVERIFY(QFileInfo(dir).isDir());
}

void TestMainWidget::muteTakesEffectAndIsStoredAtOnce()
{
    auto widget = makeWidget();
    auto* menu = widget->findChild<QMenu*>(QStringLiteral("trayMenu"));
    QAction* mute = menu->actions().at(8);
    // The entry is greyed out without audio, but its slot must still behave.
    mute->setEnabled(true);
    mute->trigger();
    QCOMPARE(stored().value("sound_enabled").toBool(), false);
    mute->trigger();
    QCOMPARE(stored().value("sound_enabled").toBool(), true);
}

void TestMainWidget::fileDialogLocksMenuUntilItEnds()
{
    auto widget = makeWidget();
    auto* menu = widget->findChild<QMenu*>(QStringLiteral("trayMenu"));
    for (const bool accept : {false, true}) {
        menu->actions().at(0)->trigger(); // "&Upload file..."
        QFileDialog* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                dialog = d;
        QVERIFY(dialog);
        QVERIFY(!menu->isEnabled());
        QPointer<QFileDialog> guard = dialog;
        if (accept)
            static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
        else
            dialog->reject();
        QVERIFY(menu->isEnabled());
        QTRY_VERIFY(guard.isNull()); // the dialog deletes itself
    }
}

// "Upload to" -> "Import uploader...": the file picked in the dialog becomes the checked entry
// and the one stored; a refused file adds nothing and leaves the choice as it was.
void TestMainWidget::importFromMenuChoosesTheDestination()
{
    const QByteArray good = "{\"Name\": \"Shelf\", \"RequestURL\": \"https://127.0.0.1/up\", \"Body\": "
                            "\"Binary\", \"URL\": \"{response}\"}";
    const QByteArray bad = "{\"Name\": \"Loose\", \"RequestURL\": \"ftp://127.0.0.1/up\", \"Body\": "
                           "\"Binary\", \"URL\": \"{response}\"}";
    for (const auto& [name, bytes] : {std::pair{"good.sxcu", good}, std::pair{"bad.sxcu", bad}}) {
        QFile file(m_dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    auto widget = makeWidget();
    auto* uploadTo = widget->findChild<QMenu*>(QStringLiteral("uploadToMenu"));
    QVERIFY(uploadTo);
    const auto entries = [uploadTo] {
        QStringList texts;
        for (QAction* a : uploadTo->actions())
            texts << (a->isSeparator() ? QStringLiteral("--") : a->text() + (a->isChecked() ? "*" : ""));
        return texts;
    };
    QCOMPARE(entries(), (QStringList{"&Brightloom*", "--", "&Import uploader..."}));

    for (const char* name : {"good.sxcu", "bad.sxcu"}) {
        uploadTo->actions().last()->trigger();
        QFileDialog* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                dialog = d;
        QVERIFY(dialog);
        QCOMPARE(dialog->objectName(), QStringLiteral("importUploaderDialog"));
        dialog->selectFile(m_dir.filePath(QLatin1String(name)));
        static_cast<QDialog*>(dialog)->accept(); // as the Open button does
        QCOMPARE(entries(), (QStringList{"&Brightloom", "Shelf*", "--", "&Import uploader..."}));
        QCOMPARE(stored().value("upload_destination").toString(), QStringLiteral("Shelf"));
    }

    // Back to the service from the menu.
    uploadTo->actions().first()->trigger();
    QCOMPARE(entries(), (QStringList{"&Brightloom*", "Shelf", "--", "&Import uploader..."}));
    QCOMPARE(stored().value("upload_destination").toString(), QString());
}

void TestMainWidget::damagedOrUnwritableSettings()
{
    // Binary garbage where the settings file should be.
    QDir().mkpath(QFileInfo(m_confPath).path());
    QFile garbage(m_confPath);
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk.append(char((i * 7919) & 0xff));
    garbage.write(junk);
    garbage.close();
    makeWidget().reset();
    QCOMPARE(stored().value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+P"));

    // A settings directory that cannot be created: a plain file stands in its way.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, blocker + QStringLiteral("/sub"));
    auto widget = makeWidget();
    QVERIFY(widget->findChild<QMenu*>(QStringLiteral("trayMenu")));
    widget.reset();
    QVERIFY(QFileInfo(blocker).isFile());
}

void TestMainWidget::dropWidgetToggleAndPlaceSurviveRestart()
{
    {
        QSettings s = stored();
        s.setValue("show_pre_help", true);
        s.setValue("drop_widget_pos_x", 321);
        s.setValue("drop_widget_pos_y", 234);
    }
    {
        auto widget = makeWidget();
        QWidget* drop = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("dropWidget"))
                drop = w;
        QVERIFY(drop);
        QVERIFY(!drop->isVisible());
        QCOMPARE(drop->pos(), QPoint(321, 234));
        QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalDropWidgetShortcutActivated"));
        QVERIFY(drop->isVisible());
        QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalDropWidgetShortcutActivated"));
        QVERIFY(!drop->isVisible());
        QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalDropWidgetShortcutActivated"));
        drop->move(400, 300);
        QTRY_COMPARE(drop->pos(), QPoint(400, 300));
    }
    // Where the user left it, and still shown.
    QSettings s = stored();
    QCOMPARE(s.value("drop_widget_pos_x").toInt(), 400);
    QCOMPARE(s.value("drop_widget_pos_y").toInt(), 300);
    QCOMPARE(s.value("drop_widget_visible").toBool(), true);
    auto widget = makeWidget();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("dropWidget")) {
            QVERIFY(w->isVisible());
            QTRY_COMPARE(w->pos(), QPoint(400, 300));
        }
}

void TestMainWidget::menuUnlockedWhicheverWayDialogsEnd()
{
    stored().setValue("show_pre_help", true);
    auto widget = makeWidget();
    auto* menu = widget->findChild<QMenu*>(QStringLiteral("trayMenu"));
    // The modal dialogs run their own loop: act on them from a timer inside it. The timer looks
    // for the dialog until it is found or for 15 s, so an entry that opens no modal dialog fails
    // the test instead of leaving it waiting.
    const auto runEntryAndEndDialog = [menu](QAction* entry, void (QDialog::*end)()) {
        bool lockedWhileShown = false;
        bool ended = false;
        QDeadlineTimer deadline(15000);
        QTimer poll;
        poll.setInterval(50);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog && dialog->isVisible()) {
                lockedWhileShown = !menu->isEnabled();
                ended = true;
                poll.stop();
                (dialog->*end)();
            } else if (deadline.hasExpired()) {
                poll.stop();
            }
        });
        poll.start();
        entry->trigger();
        poll.stop();
        return ended && lockedWhileShown;
    };
    // "Upload image from U&RL...", "&Keyboard shortcuts...", "Choose s&torage dir..."
    for (const int entry : {1, 6, 7}) {
        QVERIFY(runEntryAndEndDialog(menu->actions().at(entry), &QDialog::reject));
        QVERIFY(menu->isEnabled());
        QVERIFY(runEntryAndEndDialog(menu->actions().at(entry), &QDialog::accept));
        QVERIFY(menu->isEnabled());
    }
}

void TestMainWidget::overlayWindowIsReadyFromStartAndKept()
{
    stored().setValue("show_pre_help", true);
    auto widget = makeWidget();
    auto* idle = widget->findChild<BL::App::CIdleRelease*>();
    QVERIFY(idle);
    QSignalSpy releases(idle, &BL::App::CIdleRelease::releasing);
    const auto cached = [] {
        QPixmap found;
        return QPixmapCache::find(QStringLiteral("tst-idle"), &found);
    };
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();

    // Before any shot the host has its window and a buffer the size of the screen, which the
    // first showing keeps rather than making a new one.
    QTRY_VERIFY(widget->internalWinId());
    QVERIFY(!widget->isVisible());
    QCOMPARE(widget->backingStore()->size(), screen);
    const WId window = widget->internalWinId();

    // The start-up's release drops caches, not the window.
    QVERIFY(QPixmapCache::insert(QStringLiteral("tst-idle"), QPixmap(8, 8)));
    QVERIFY(releases.wait(15000));
    QVERIFY(!cached());
    QCOMPARE(widget->internalWinId(), window);

    // A shot and the release after it leave the same window and buffer.
    QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalSingleShotShortcutActivated"));
    QTRY_VERIFY(widget->isVisible());
    QCOMPARE(widget->backingStore()->size(), screen);
    QTest::keyClick(widget.get(), Qt::Key_Escape);
    QTRY_VERIFY(!widget->isVisible());
    QVERIFY(QPixmapCache::insert(QStringLiteral("tst-idle"), QPixmap(8, 8)));
    QVERIFY(releases.wait(15000));
    QVERIFY(!cached());
    QCOMPARE(widget->internalWinId(), window);
    QCOMPARE(widget->backingStore()->size(), screen);
}

void TestMainWidget::lastBalloonGoesWhenTheNextShotBegins()
{
    stored().setValue("show_pre_help", true);
    auto widget = makeWidget();
    auto* tray = widget->findChild<QSystemTrayIcon*>();
    QVERIFY(tray);
    const auto balloon = [] { return shownTrayWindow("QBalloonTip"); };
    tray->showMessage(QStringLiteral("Brightloom"), QStringLiteral("Earlier news"),
                      QSystemTrayIcon::Information, 60000);
    QTRY_VERIFY(balloon());

    QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalSingleShotShortcutActivated"));
    QTRY_VERIFY(widget->isVisible());
    QVERIFY(!balloon());
    QTest::keyClick(widget.get(), Qt::Key_Escape);
    QTRY_VERIFY(!widget->isVisible());
}

void TestMainWidget::trayIconWaitsWhileTheOverlayIsUp()
{
    stored().setValue("show_pre_help", true);
    auto widget = makeWidget();
    auto* presenter = widget->findChild<BL::App::CTrayPresenter*>();
    auto* uploading = widget->findChild<QMovie*>(QStringLiteral("uploadingMovie"));
    QVERIFY(presenter && uploading);
    const auto shown = [presenter] { return presenter->trayIcon()->icon().pixmap(32, 32).toImage(); };
    const auto frame = [uploading] { return QIcon(uploading->currentPixmap()).pixmap(32, 32).toImage(); };
    // An earlier shot still uploading: its animation loops until the upload ends.
    presenter->beginBusy();
    QTRY_COMPARE(shown(), frame());

    QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalSingleShotShortcutActivated"));
    QTRY_VERIFY(widget->isVisible());
    const QImage held = shown();
    int framesWhileUp = 0;
    bool otherPicture = false;
    bool changed = false;
    connect(uploading, &QMovie::frameChanged, widget.get(), [&] {
        ++framesWhileUp;
        otherPicture = otherPicture || frame() != held;
        changed = changed || shown() != held;
    });
    // Until the animation has moved on to another picture, under the overlay.
    QTRY_VERIFY_WITH_TIMEOUT(otherPicture && framesWhileUp >= 3, 15000);
    QVERIFY(!changed);

    QTest::keyClick(widget.get(), Qt::Key_Escape);
    QTRY_VERIFY(!widget->isVisible());
    QCOMPARE(shown(), frame());
}

void TestMainWidget::changedTrayIconIsPaintedBeforeTheOverlayOpens()
{
    stored().setValue("show_pre_help", true);
    auto widget = makeWidget();
    auto* presenter = widget->findChild<BL::App::CTrayPresenter*>();
    QVERIFY(presenter);
    QTRY_VERIFY(shownTrayWindow("QSystemTrayIconSys"));
    QWidget* icon = shownTrayWindow("QSystemTrayIconSys");
    // Docked and shown by the tray host: only then does a change of the icon ask for a paint.
    QTRY_VERIFY_WITH_TIMEOUT(icon->windowHandle() && icon->windowHandle()->isExposed(), 15000);
    QCoreApplication::sendPostedEvents(icon, QEvent::UpdateRequest);
    int paints = 0;
    struct SPaintCounter : QObject
    {
        int* count;
        bool eventFilter(QObject*, QEvent* event) override
        {
            *count += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    counter.count = &paints;
    icon->installEventFilter(&counter);

    // Changed as the end of an upload changes it, just before the next hotkey.
    QPixmap other(32, 32);
    other.fill(Qt::red);
    presenter->trayIcon()->setIcon(QIcon(other));
    QCOMPARE(paints, 0);
    QVERIFY(QMetaObject::invokeMethod(widget.get(), "onGlobalSingleShotShortcutActivated"));
    // Painted before the overlay asked anything of the server, not after its first frame.
    QVERIFY(paints >= 1);
    QTRY_VERIFY(widget->isVisible());
    QTest::keyClick(widget.get(), Qt::Key_Escape);
    QTRY_VERIFY(!widget->isVisible());
    icon->removeEventFilter(&counter);
}

void TestMainWidget::textLanguagesChosenAndStored()
{
    // English and a second language (the same model under another name, so that it loads).
    QTemporaryDir data;
    const QString english = BL::Capture::textDataDirectory() + QStringLiteral("/eng.traineddata");
    QVERIFY(QFile::link(english, data.filePath("eng.traineddata")));
    QVERIFY(QFile::link(english, data.filePath("deu.traineddata")));
    qputenv("BL_TESSDATA_DIR", QFile::encodeName(data.path()));
    const auto restoreData = qScopeGuard([] { qunsetenv("BL_TESSDATA_DIR"); });
    stored().setValue("show_pre_help", true);
    const auto entries = [](CBrightloomMainWidget* widget) {
        QMap<QString, QAction*> byCode;
        for (QAction* a : widget->findChild<QMenu*>(QStringLiteral("textLanguagesMenu"))->actions())
            byCode.insert(a->data().toString(), a);
        return byCode;
    };
    {
        auto widget = makeWidget();
        auto languages = entries(widget.get());
        QCOMPARE(languages.keys(), QStringList({"deu", "eng"}));
        QVERIFY(languages["eng"]->isChecked() && !languages["deu"]->isChecked());
        languages["deu"]->trigger();
        QCOMPARE(stored().value("text_languages").toStringList(), QStringList({"deu", "eng"}));
        QCOMPARE(widget->findChild<BL::App::CTextShot*>()->languages(), QStringList({"deu", "eng"}));
        // Unchecking every language leaves the last one in force.
        languages["eng"]->trigger();
        languages["deu"]->trigger();
        QVERIFY(languages["deu"]->isChecked());
        QCOMPARE(stored().value("text_languages").toStringList(), QStringList({"deu"}));
    }
    {
        auto widget = makeWidget();
        auto languages = entries(widget.get());
        QVERIFY(languages["deu"]->isChecked() && !languages["eng"]->isChecked());
        QCOMPARE(widget->findChild<BL::App::CTextShot*>()->languages(), QStringList({"deu"}));
    }

    // No data at all: the entry stays, greyed out, and says what to install.
    QTemporaryDir empty;
    qputenv("BL_TESSDATA_DIR", QFile::encodeName(empty.path()));
    auto widget = makeWidget();
    const QMenu* trayMenu = widget->findChild<QMenu*>(QStringLiteral("trayMenu"));
    QAction* textShot = menuAction(trayMenu, QStringLiteral("Copy te&xt from area"));
    QVERIFY(textShot);
    QVERIFY(!textShot->isEnabled());
    QVERIFY2(textShot->toolTip().contains(QLatin1String("tesseract-ocr-eng")),
             qPrintable(textShot->toolTip()));
    QAction* languages = menuAction(trayMenu, QStringLiteral("Text languages"));
    QVERIFY(languages && !languages->isEnabled() && languages->menu()->actions().isEmpty());
}

QTEST_MAIN(TestMainWidget)
#include "tst_mainwidget.moc"
