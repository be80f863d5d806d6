#include "app/brightloommainwidget.h"

#include "api/servermanager.h"
#include "api/user.h"
#include "app/commandline.h"
#include "app/idlerelease.h"
#include "app/logging.h"
#include "app/overlaycontrol.h"
#include "app/perfprobe.h"
#include "app/recentshares.h"
#include "app/textshot.h"
#include "app/traymenu.h"
#include "app/traypresenter.h"
#include "app/uploaddestinations.h"
#include "app/uploadpipeline.h"
#include "app/usersession.h"
#include "capture/helpscreen.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/softwareupdater.h"
#include "dialogs/dropacceptablewidget.h"
#include "dialogs/logindialog.h"
#include "dialogs/optionsdialog.h"
#include "platform/backends.h"
#include "platform/globalshortcut.h"
#include "shell/localserverhandler.h"

#include <QAction>
#include <QCloseEvent>
#include <QPixmap>
#include <QSettings>
#include <QTimer>
#include <utility>

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

    createTrayMenu();
    createTextShot();
    createShortcuts();
    instanceCommands = new BL::App::CInstanceCommands(this);
    connect(instanceCommands, &BL::App::CInstanceCommands::actionRequested, this,
            &CBrightloomMainWidget::onHotkey);
    updater = createSoftwareUpdater();
    connect(updater.get(), &CAbstractSoftwareUpdater::checkFinished, this,
            &CBrightloomMainWidget::onUpdateCheckFinished);
    createRecentShares();
    createUploadPipeline();
    createHostUploads();
    createUserSession();
    readSettings();
    createDestinations();
    warnAboutUnusableHotkeys();
    adviseCommandLineActions();
    createDropWidget();
    createOverlays();
    initSounds();
    localServer = new CLocalServerHandler(this);
    connect(localServer, &CLocalServerHandler::newFileToUpload, this,
            &CBrightloomMainWidget::startUploadingImageFile);
    connect(instanceCommands, &BL::App::CInstanceCommands::fileToUpload, this,
            &CBrightloomMainWidget::startUploadingImageFile);
    createLoginDialog();
    if (!prefs.preHelpShown)
        showHelp();

    idleRelease = new BL::App::CIdleRelease(this);
    connect(idleRelease, &BL::App::CIdleRelease::releasing, this, &CBrightloomMainWidget::releaseIdleMemory);
    connect(idleRelease, &BL::App::CIdleRelease::settled, this, &CBrightloomMainWidget::compactIdleMemory);
    if (lcPerf().isDebugEnabled()) {
        lagProbe = new BL::App::CEventLoopLagProbe(this);
        connect(overlays, &BL::App::COverlayControl::aboutToShow, lagProbe,
                &BL::App::CEventLoopLagProbe::reset);
    }

    QTimer::singleShot(0, this, &CBrightloomMainWidget::loadFonts);
    QTimer::singleShot(0, overlays, &BL::App::COverlayControl::prepareWindow);
    if (updater->automaticChecksEnabled())
        updater->checkInBackground();
    // What the start-up used and freed goes back to the system, as after a shot.
    idleRelease->restart();
}

CBrightloomMainWidget::~CBrightloomMainWidget()
{
    writeSettings();
    overlays->deleteHelpScreen();
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

void CBrightloomMainWidget::createOverlays()
{
    overlays = new BL::App::COverlayControl(this);
    using BL::App::COverlayControl;
    // The last shot's balloon is old news once the next begins. Left up, it stays over the
    // desktop being shot, and its first frames would hold up the overlay's.
    connect(overlays, &COverlayControl::aboutToShow, tray, &BL::App::CTrayPresenter::hideBalloon);
    connect(overlays, &COverlayControl::aboutToShow, tray, &BL::App::CTrayPresenter::paintPendingIcon);
    // The link's round trip runs while the overlay hands over the screen, not after the grab.
    // Imported hosts reserve nothing.
    connect(overlays, &COverlayControl::aboutToGrab, this, [this] {
        if (prefs.uploadDestination.isEmpty())
            uploads->reserveAhead();
    });
    connect(overlays, &COverlayControl::grabbed, this, &CBrightloomMainWidget::playCamSound);
    connect(overlays, &COverlayControl::uploadGrabbed, tray,
            &BL::App::CTrayPresenter::startUploadingAnimation);
    connect(overlays, &COverlayControl::singleShotTaken, this,
            &CBrightloomMainWidget::startUploadingSnapshot);
    connect(overlays, &COverlayControl::comparisonShotTaken, this,
            &CBrightloomMainWidget::onComparisonShotFinished);
    connect(overlays, &COverlayControl::localShotTaken, this,
            &CBrightloomMainWidget::savePixmapToLocalStorage);
    connect(overlays, &COverlayControl::textShotTaken, this, &CBrightloomMainWidget::copyTextFromArea);
    connect(overlays, &COverlayControl::failed, this,
            [this](const QString& message) { tray->showBalloon(message, QSystemTrayIcon::Critical, 5000); });
}

void CBrightloomMainWidget::releaseIdleMemory()
{
    // The overlay's window and its screen-sized buffer stay (COverlayHost::prepareWindow): made
    // anew at each hotkey, the buffer's fresh pages held up the overlay's first frame by ~10 ms.
    tray->releaseAnimations();
}

void CBrightloomMainWidget::compactIdleMemory()
{
    shares->history()->compact();
}

void CBrightloomMainWidget::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    overlays->releaseFrozenDesktop();
    idleRelease->restart();
}

void CBrightloomMainWidget::showEvent(QShowEvent* event)
{
    // This widget is the overlays' full-screen window: the tray is under it.
    QWidget::showEvent(event);
    tray->holdIcon(true);
}

void CBrightloomMainWidget::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    tray->holdIcon(false);
}

void CBrightloomMainWidget::paintEvent(QPaintEvent* event)
{
    // Under the selectors' dim colour, in place of the desktop.
    if (!overlays->paintFrozenDesktop())
        QWidget::paintEvent(event);
}

// ---------------------------------------------------------------- settings

void CBrightloomMainWidget::readSettings()
{
    prefs = BL::App::readSettings(*settings);
    for (const BL::App::SHotkeyEntry& entry : BL::App::hotkeyEntries())
        hotkeys->applyStored(entry.index, prefs.shortcuts[entry.index]);
    textShot->setLanguages(prefs.textLanguages);
    trayMenu->setMuted(!prefs.soundEnabled);
    trayMenu->setExpiry(prefs.shareExpirySeconds);
    uploads->setExpiry(prefs.shareExpirySeconds);
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

void CBrightloomMainWidget::createTrayMenu()
{
    trayMenu = new BL::App::CTrayMenu(this);
    using Slot = void (CBrightloomMainWidget::*)();
    const std::pair<BL::App::ETrayAction, Slot> handlers[] = {
        {BL::App::UploadFileAction, &CBrightloomMainWidget::uploadFile},
        {BL::App::UploadUrlAction, &CBrightloomMainWidget::onUploadImageFromUrl},
        {BL::App::HistoryAction, &CBrightloomMainWidget::showHistory},
        {BL::App::SignInAction, &CBrightloomMainWidget::showLoginDialog},
        {BL::App::ShortcutsAction, &CBrightloomMainWidget::showOptionsDialog},
        {BL::App::StorageDirAction, &CBrightloomMainWidget::onLocalDirActionTriggered},
        {BL::App::MuteSoundAction, &CBrightloomMainWidget::switchSound},
        {BL::App::CheckUpdatesAction, &CBrightloomMainWidget::update},
        {BL::App::AboutAction, &CBrightloomMainWidget::showAbout},
    };
    for (const auto& [action, slot] : handlers)
        connect(trayMenu->action(action), &QAction::triggered, this, slot);
    tray->show(trayMenu);
}

void CBrightloomMainWidget::initSounds()
{
    if (!tray->initSounds())
        trayMenu->setSoundAvailable(false);
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
        &CBrightloomMainWidget::onGlobalTextShotShortcutActivated,
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
    dialog.setTextShotText(current[BL::App::TextShotHotkey]);
    connect(&dialog, &COptionsDialog::startedChangingHotkey, this, &CBrightloomMainWidget::disableHotkeys);
    connect(&dialog, &COptionsDialog::stoppedChangingHotkey, this, &CBrightloomMainWidget::enableHotkeys);
    const auto unlock = trayMenu->lock();
    // However the dialog ends, even closed while it records, the hotkeys act again afterwards.
    const auto reenable = qScopeGuard([this] { enableHotkeys(); });
    if (dialog.exec() != QDialog::Accepted)
        return;
    hotkeys->applyEdited({dialog.singleShotText(), dialog.comparisonShotText(), dialog.dropWidgetText(),
                          dialog.localShotText(), dialog.textShotText()});
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
    overlays->showSingleShot();
}

void CBrightloomMainWidget::onGlobalComparisonShotShortcutActivated()
{
    trayMenu->hide();
    overlays->showComparisonShot();
}

void CBrightloomMainWidget::onGlobalLocalShotShortcutActivated()
{
    trayMenu->hide();
    overlays->showLocalShot();
}

void CBrightloomMainWidget::onGlobalTextShotShortcutActivated()
{
    trayMenu->hide();
    // Without language data the entry is greyed out; a hotkey or command gets the balloon why.
    if (!textShot->isAvailable()) {
        textShot->read(QPixmap());
        return;
    }
    overlays->showTextShot();
}

void CBrightloomMainWidget::onGlobalDropWidgetShortcutActivated()
{
    dropWidget->setVisible(!dropWidget->isVisible());
}
