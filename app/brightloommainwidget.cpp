#include "app/brightloommainwidget.h"

#include "api/servermanager.h"
#include "api/user.h"
#include "app/commandline.h"
#include "app/frozenshot.h"
#include "app/logging.h"
#include "app/perfprobe.h"
#include "app/traypresenter.h"
#include "app/uploadpipeline.h"
#include "app/usersession.h"
#include "capture/comparisonshotscreen.h"
#include "capture/cropscreen.h"
#include "capture/helpscreen.h"
#include "capture/overlayhost.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/softwareupdater.h"
#include "dialogs/dropacceptablewidget.h"
#include "dialogs/logindialog.h"
#include "dialogs/optionsdialog.h"
#include "platform/backends.h"
#include "platform/globalshortcut.h"
#include "platform/processtuning.h"
#include "platform/screengrab.h"
#include "shell/localserverhandler.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <utility>

namespace {
// Quiet time after a shot before its screen-sized buffers are given back.
constexpr int kIdleAfterShotMs = 3000;
} // namespace

CBrightloomMainWidget::CBrightloomMainWidget(std::shared_ptr<CAbstractCrashReporter> reporter)
    : QWidget(nullptr), crashReporter(std::move(reporter))
{
    appTitle = tr("Brightloom");
    // The format named, so that the image plugins are not all loaded to guess it.
    standardIcon = QIcon(QPixmap(QStringLiteral(":cam.png"), "PNG"));
    setWindowIcon(standardIcon);
    tray = new BL::App::CTrayPresenter(appTitle, standardIcon, this);

    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brightloom"),
                             QStringLiteral("Brightloom"), this);
    if (settings->status() != QSettings::NoError)
        qCWarning(lcApp) << "settings file" << settings->fileName() << "could not be read; using defaults";

    createActions();
    createTrayIcon();
    createShortcuts();
    instanceCommands = new BL::App::CInstanceCommands(this);
    connect(instanceCommands, &BL::App::CInstanceCommands::actionRequested, this,
            &CBrightloomMainWidget::onHotkey);
    updater = createSoftwareUpdater();
    connect(updater.get(), &CAbstractSoftwareUpdater::checkFinished, this,
            &CBrightloomMainWidget::onUpdateCheckFinished);
    createUploadPipeline();
    createUserSession();
    readSettings();
    warnAboutUnusableHotkeys();
    adviseCommandLineActions();
    createDropWidget();
    createScreens();
    initSounds();
    localServer = new CLocalServerHandler(this);
    connect(localServer, &CLocalServerHandler::newFileToUpload, this,
            &CBrightloomMainWidget::startUploadingImageFile);
    connect(instanceCommands, &BL::App::CInstanceCommands::fileToUpload, this,
            &CBrightloomMainWidget::startUploadingImageFile);
    createLoginDialog();
    if (!prefs.preHelpShown)
        showHelp();

    idleTimer = new QTimer(this);
    idleTimer->setSingleShot(true);
    idleTimer->setInterval(kIdleAfterShotMs);
    connect(idleTimer, &QTimer::timeout, this, &CBrightloomMainWidget::releaseIdleMemory);
    if (lcPerf().isDebugEnabled())
        lagProbe = new BL::App::CEventLoopLagProbe(this);

    QTimer::singleShot(0, this, &CBrightloomMainWidget::loadFonts);
    if (updater->automaticChecksEnabled())
        updater->checkInBackground();
    // What the start-up used and freed goes back to the system, as after a shot.
    idleTimer->start();
}

CBrightloomMainWidget::~CBrightloomMainWidget()
{
    writeSettings();
    delete helpScreen;
    helpScreen = nullptr;
    dropWidget.reset();
    loginDialog.reset();
    updater.reset();
    crashReporter.reset();
}

void CBrightloomMainWidget::loadFonts()
{
    BL::Capture::registerOverlayFont();
}

void CBrightloomMainWidget::runInstanceCommand(const QString& message)
{
    instanceCommands->receive(message);
}

// ---------------------------------------------------------------- host window

void CBrightloomMainWidget::createDropWidget()
{
    dropWidget = std::make_unique<CDropAcceptableWidget>();
    dropWidget->setObjectName(QStringLiteral("dropWidget"));
    dropWidget->restorePosition(prefs.dropWidgetPos);
    dropWidget->setVisible(prefs.dropWidgetVisible);
    connect(dropWidget.get(), &CDropAcceptableWidget::imageDropped, this,
            &CBrightloomMainWidget::startUploadingSnapshot);
    connect(dropWidget.get(), &CDropAcceptableWidget::urlDropped, this,
            &CBrightloomMainWidget::startUploadingImageFromUrl);
    connect(dropWidget.get(), &CDropAcceptableWidget::errorOccured, this,
            &CBrightloomMainWidget::showTrayErrorMessage);
}

void CBrightloomMainWidget::createScreens()
{
    const QColor dim = BL::Capture::dimColor();
    singleShotScreen = new CCropScreen(this, false);
    singleShotScreen->setObjectName(QStringLiteral("singleShotScreen"));
    singleShotScreen->setDimColor(dim);
    // The link's round trip runs while the overlay hands over the screen, not after the grab.
    connect(singleShotScreen, &CCropScreen::aboutToGrab, this, [this] { uploads->reserveAhead(); });
    connect(singleShotScreen, &CCropScreen::shot, this, &CBrightloomMainWidget::playCamSound);
    connect(singleShotScreen, &CCropScreen::shot, tray, &BL::App::CTrayPresenter::startUploadingAnimation);
    connect(singleShotScreen, &CCropScreen::finished, this, &CBrightloomMainWidget::startUploadingSnapshot);

    localShotScreen = new CCropScreen(this, true);
    localShotScreen->setObjectName(QStringLiteral("localShotScreen"));
    localShotScreen->setDimColor(dim);
    connect(localShotScreen, &CCropScreen::shot, this, &CBrightloomMainWidget::playCamSound);
    connect(localShotScreen, &CCropScreen::finished, this, &CBrightloomMainWidget::savePixmapToLocalStorage);

    helpScreen = new CHelpScreen(this, QString(), QString());
    helpScreen->setObjectName(QStringLiteral("helpScreen"));
    helpScreen->setColor(dim);

    comparisonShotScreen = new CComparisonShotScreen(this);
    comparisonShotScreen->setObjectName(QStringLiteral("comparisonShotScreen"));
    comparisonShotScreen->setDimColor(dim);
    connect(comparisonShotScreen, &CComparisonShotScreen::firstShot, this,
            &CBrightloomMainWidget::playCamSound);
    connect(comparisonShotScreen, &CComparisonShotScreen::secondShot, this,
            &CBrightloomMainWidget::playCamSound);
    connect(comparisonShotScreen, &CComparisonShotScreen::secondShot, tray,
            &BL::App::CTrayPresenter::startUploadingAnimation);
    connect(comparisonShotScreen, &CComparisonShotScreen::finished, this,
            &CBrightloomMainWidget::onComparisonShotFinished);

    // Also closes the host whenever it is left without a visible overlay.
    overlayHost = new BL::Capture::COverlayHost(
        this, {singleShotScreen, helpScreen, comparisonShotScreen, localShotScreen});

    frozenShot = new BL::App::CFrozenShot(this);
    connect(frozenShot, &BL::App::CFrozenShot::ready, this, &CBrightloomMainWidget::presentOverlay);
    connect(frozenShot, &BL::App::CFrozenShot::failed, this,
            [this](const QString& message) { tray->showBalloon(message, QSystemTrayIcon::Critical, 5000); });
}

void CBrightloomMainWidget::showOverlay(QWidget* overlay)
{
    // A selector that cannot read the screen once it is up works on a picture taken before.
    if (frozenShot->needed() && overlay != helpScreen && !frozenShot->hasPicture()) {
        frozenShot->open(overlay);
        return;
    }
    presentOverlay(overlay);
}

void CBrightloomMainWidget::presentOverlay(QWidget* overlay)
{
    if (lagProbe)
        lagProbe->reset();
    overlayHost->showOverlay(overlay);
}

void CBrightloomMainWidget::releaseIdleMemory()
{
    // The full-screen window and its buffers are made again in a few
    // milliseconds at the next hotkey; between shots they would only sit in memory.
    if (!isVisible())
        destroy();
    BL::Platform::releaseScreenGrabBuffers();
    // Every balloon brings new standard icons whose scaled copies stay in the pixmap cache
    // (up to 10 MiB) long after the balloon is gone.
    QPixmapCache::clear();
    BL::Platform::releaseFreeMemory();
}

void CBrightloomMainWidget::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    frozenShot->release();
    idleTimer->start();
}

void CBrightloomMainWidget::paintEvent(QPaintEvent* event)
{
    // Under the selectors' dim colour, in place of the desktop.
    if (frozenShot->hasPicture()) {
        QPainter painter(this);
        frozenShot->paint(painter, rect(), QRect(mapToGlobal(QPoint(0, 0)), size()));
        return;
    }
    QWidget::paintEvent(event);
}

// ---------------------------------------------------------------- settings

void CBrightloomMainWidget::readSettings()
{
    prefs = BL::App::readSettings(*settings);
    for (const BL::App::SHotkeyEntry& entry : BL::App::hotkeyEntries())
        hotkeys->applyStored(entry.index, prefs.shortcuts[entry.index]);
    muteSoundAction->setChecked(!prefs.soundEnabled);
    tray->setSoundEnabled(prefs.soundEnabled);

    if (CUser::instance()->load(settings))
        signWithHash(CUser::instance()->userHash());
    else
        updateUserStatus();
}

void CBrightloomMainWidget::writeSettings()
{
    prefs.shortcuts = hotkeys->portableTexts();
    if (dropWidget) {
        prefs.dropWidgetPos = dropWidget->pos();
        prefs.dropWidgetVisible = dropWidget->isVisible();
    }
    BL::App::writeSettings(*settings, prefs);
    CUser::instance()->save(settings);
    settings->sync();
    if (settings->status() == QSettings::AccessError)
        qCWarning(lcApp) << "settings could not be written to" << settings->fileName();
}

// ---------------------------------------------------------------- tray

void CBrightloomMainWidget::createActions()
{
    auto makeAction = [this](const QString& text, auto slot) {
        auto* action = new QAction(text, this);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    uploadFileAction = makeAction(tr("&Upload file..."), &CBrightloomMainWidget::uploadFile);
    uploadUrlAction =
        makeAction(tr("Upload image from U&RL..."), &CBrightloomMainWidget::onUploadImageFromUrl);
    historyAction = makeAction(tr("&History"), &CBrightloomMainWidget::showHistory);
    signInAction = makeAction(tr("&Sign in..."), &CBrightloomMainWidget::showLoginDialog);
    shortcutsAction = makeAction(tr("&Keyboard shortcuts..."), &CBrightloomMainWidget::showOptionsDialog);
    storageDirAction =
        makeAction(tr("Choose s&torage dir..."), &CBrightloomMainWidget::onLocalDirActionTriggered);
    muteSoundAction = makeAction(tr("Mute &sound"), &CBrightloomMainWidget::switchSound);
    muteSoundAction->setCheckable(true);
    checkUpdatesAction = makeAction(tr("Check for &Updates"), &CBrightloomMainWidget::update);
    aboutAction = makeAction(tr("&About") + QStringLiteral(" Brightloom"), &CBrightloomMainWidget::showAbout);
    quitAction = new QAction(tr("&Quit"), this);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
}

void CBrightloomMainWidget::createTrayIcon()
{
    trayMenu = new QMenu(this);
    trayMenu->setObjectName(QStringLiteral("trayMenu"));
    const QList<QAction*> entries = {
        uploadFileAction, uploadUrlAction,  nullptr,         historyAction, signInAction,       nullptr,
        shortcutsAction,  storageDirAction, muteSoundAction, nullptr,       checkUpdatesAction, aboutAction,
        nullptr,          quitAction};
    for (QAction* entry : entries)
        if (entry)
            trayMenu->addAction(entry);
        else
            trayMenu->addSeparator();
    historyAction->setVisible(false);
    tray->show(trayMenu);
}

QScopeGuard<std::function<void()>> CBrightloomMainWidget::lockTrayMenu()
{
    trayMenu->setEnabled(false);
    QPointer<QMenu> menu = trayMenu;
    return QScopeGuard<std::function<void()>>(std::function<void()>([menu] {
        if (menu)
            menu->setEnabled(true);
    }));
}

void CBrightloomMainWidget::initSounds()
{
    if (!tray->initSounds())
        muteSoundAction->setEnabled(false);
}

void CBrightloomMainWidget::switchSound()
{
    prefs.soundEnabled = !prefs.soundEnabled;
    tray->setSoundEnabled(prefs.soundEnabled);
    writeSettings();
}

void CBrightloomMainWidget::update()
{
    // A click answered by silence reads as a failure: the outcome of this check is confirmed.
    confirmUpToDate = true;
    updater->checkInBackground();
}

void CBrightloomMainWidget::onUpdateCheckFinished(EUpdateCheckResult result)
{
    // The start-up check stays silent; only a check from the menu confirms "nothing new".
    if (std::exchange(confirmUpToDate, false) && result == EUpdateCheckResult::UpToDate)
        tray->showBalloon(tr("Brightloom is up to date."), QSystemTrayIcon::Information, 3000);
}

void CBrightloomMainWidget::setStandardTrayIcon()
{
    tray->setStandardIcon();
}

void CBrightloomMainWidget::playCamSound()
{
    tray->playCamSound();
}

void CBrightloomMainWidget::playUploadedSound()
{
    tray->playUploadedSound();
}

void CBrightloomMainWidget::showTrayErrorMessage(const QString& errorDesc)
{
    tray->markFailed(errorDesc, 3000);
}

// ---------------------------------------------------------------- hotkeys

void CBrightloomMainWidget::createShortcuts()
{
    hotkeys = new BL::App::CHotkeyTable(this);
    connect(hotkeys, &BL::App::CHotkeyTable::activated, this, &CBrightloomMainWidget::onHotkey);
    // A desktop that binds the keys for us may refuse only later.
    connect(hotkeys->shortcut(BL::App::SingleShotHotkey), &CGlobalShortcut::registrationChanged, this,
            &CBrightloomMainWidget::adviseCommandLineActions);
    enableHotkeys();
}

void CBrightloomMainWidget::onHotkey(BL::App::EHotkey hotkey)
{
    static constexpr void (CBrightloomMainWidget::*handlers[BL::App::HotkeyCount])() = {
        &CBrightloomMainWidget::onGlobalSingleShotShortcutActivated,
        &CBrightloomMainWidget::onGlobalComparisonShotShortcutActivated,
        &CBrightloomMainWidget::onGlobalDropWidgetShortcutActivated,
        &CBrightloomMainWidget::onGlobalLocalShotShortcutActivated,
    };
    (this->*handlers[hotkey])();
}

void CBrightloomMainWidget::enableHotkeys()
{
    hotkeys->enable();
}

void CBrightloomMainWidget::disableHotkeys()
{
    hotkeys->disable();
}

void CBrightloomMainWidget::showOptionsDialog()
{
    COptionsDialog dialog;
    const std::array<QString, BL::App::HotkeyCount> current = hotkeys->portableTexts();
    dialog.setSingleShotText(current[BL::App::SingleShotHotkey]);
    dialog.setComparisonShotText(current[BL::App::ComparisonShotHotkey]);
    dialog.setDropWidgetText(current[BL::App::DropWidgetHotkey]);
    dialog.setLocalShotText(current[BL::App::LocalShotHotkey]);
    connect(&dialog, &COptionsDialog::startedChangingHotkey, this, &CBrightloomMainWidget::disableHotkeys);
    connect(&dialog, &COptionsDialog::stoppedChangingHotkey, this, &CBrightloomMainWidget::enableHotkeys);
    const auto unlock = lockTrayMenu();
    // However the dialog ends, even closed while it records, the hotkeys act again afterwards.
    const auto reenable = qScopeGuard([this] { enableHotkeys(); });
    if (dialog.exec() != QDialog::Accepted)
        return;
    hotkeys->applyEdited({dialog.singleShotText(), dialog.comparisonShotText(), dialog.dropWidgetText(),
                          dialog.localShotText()});
    writeSettings();
    enableHotkeys();
    warnAboutUnusableHotkeys();
}

void CBrightloomMainWidget::warnAboutUnusableHotkeys()
{
    const QString message = hotkeys->unusableHotkeysMessage();
    if (!message.isEmpty())
        tray->showBalloon(message, QSystemTrayIcon::Warning, 5000);
}

void CBrightloomMainWidget::adviseCommandLineActions()
{
    // Only a window system that binds no keys at all; inert test backends ("null") stay quiet.
    if (prefs.commandLineHintShown || BL::Platform::backends().name() == QLatin1String("null") ||
        hotkeys->shortcut(BL::App::SingleShotHotkey)->registration() != CGlobalShortcut::Unsupported)
        return;
    tray->showBalloon(BL::App::commandLineHint(), QSystemTrayIcon::Information, 10000);
    prefs.commandLineHintShown = true;
    writeSettings();
}

void CBrightloomMainWidget::onGlobalSingleShotShortcutActivated()
{
    trayMenu->hide();
    showOverlay(singleShotScreen);
}

void CBrightloomMainWidget::onGlobalComparisonShotShortcutActivated()
{
    trayMenu->hide();
    showOverlay(comparisonShotScreen);
}

void CBrightloomMainWidget::onGlobalLocalShotShortcutActivated()
{
    trayMenu->hide();
    showOverlay(localShotScreen);
}

void CBrightloomMainWidget::onGlobalDropWidgetShortcutActivated()
{
    dropWidget->setVisible(!dropWidget->isVisible());
}
