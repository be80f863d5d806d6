#include "app/brightloommainwidget.h"

#include "api/hashloginrequest.h"
#include "api/pixmapuploadrequest.h"
#include "api/reservecoderequest.h"
#include "api/servermanager.h"
#include "api/uploadurlrequest.h"
#include "api/user.h"
#include "app/logging.h"
#include "app/perfprobe.h"
#include "app/pictureencoder.h"
#include "capture/comparisonshotscreen.h"
#include "capture/cropscreen.h"
#include "capture/helpscreen.h"
#include "capture/overlayhost.h"
#include "capture/selectscreenarea.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/softwareupdater.h"
#include "dialogs/chooselocaldirdialog.h"
#include "dialogs/dropacceptablewidget.h"
#include "dialogs/urlinputdialog.h"
#include "platform/globalshortcut.h"
#include "platform/processtuning.h"
#include "platform/screengrab.h"

#include <QAction>
#include <QApplication>
#include <QAudioDeviceInfo>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMenu>
#include <QMessageBox>
#include <QMovie>
#include <QSettings>
#include <QSound>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryFile>
#include <QTimer>
#include <algorithm>

namespace {

// Built-in hotkeys; a stored non-empty sequence replaces each at start.
const QString kSingleShotDefault = QStringLiteral("Ctrl+Alt+P");
const QString kComparisonShotDefault = QStringLiteral("Ctrl+Alt+M");
const QString kLocalShotDefault = QStringLiteral("Ctrl+Alt+L");
const QString kDropWidgetDefault = QStringLiteral("Ctrl+Alt+D");

constexpr int kUploadedAnimationMs = 5000;
constexpr int kStandardIconResetMs = 5100;
// Quiet time after a shot before its screen-sized buffers are given back.
constexpr int kIdleAfterShotMs = 3000;

} // namespace

CBrightloomMainWidget::CBrightloomMainWidget(std::shared_ptr<CAbstractCrashReporter> reporter)
    : QWidget(nullptr), crashReporter(std::move(reporter))
{
    appTitle = tr("Brightloom");
    standardIcon = QIcon(QStringLiteral(":cam.png"));
    setWindowIcon(standardIcon);

    uploadingMovie = new QMovie(QStringLiteral(":cam-uploading.gif"), "GIF", this);
    uploadingMovie->setObjectName(QStringLiteral("uploadingMovie"));
    connect(uploadingMovie, &QMovie::frameChanged, this,
            &CBrightloomMainWidget::onUploadingMovieFrameChanged);
    uploadedMovie = new QMovie(QStringLiteral(":cam-uploaded.gif"), "GIF", this);
    uploadedMovie->setObjectName(QStringLiteral("uploadedMovie"));
    connect(uploadedMovie, &QMovie::frameChanged, this, &CBrightloomMainWidget::onUploadedMovieFrameChanged);

    settings = new QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brightloom"),
                             QStringLiteral("Brightloom"), this);
    if (settings->status() != QSettings::NoError)
        qCWarning(lcApp) << "settings file" << settings->fileName() << "could not be read; using defaults";

    createActions();
    createTrayIcon();
    createShortcuts();
    updater = createSoftwareUpdater();
    readSettings();
    createDropWidget();
    createScreens();
    initSounds();
    // The local upload server and the sign-in dialog join here when they land.
    if (!preHelpShown)
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
}

CBrightloomMainWidget::~CBrightloomMainWidget()
{
    writeSettings();
    delete helpScreen;
    helpScreen = nullptr;
    dropWidget.reset();
    for (auto* file : {&shutterSoundFile, &uploadedSoundFile}) {
        if (*file) {
            (*file)->close();
            (*file)->remove();
            file->reset();
        }
    }
    updater.reset();
    crashReporter.reset();
}

void CBrightloomMainWidget::loadFonts()
{
    BL::Capture::registerOverlayFont();
}

// ---------------------------------------------------------------- host window

void CBrightloomMainWidget::createDropWidget()
{
    dropWidget = std::make_unique<CDropAcceptableWidget>();
    dropWidget->setObjectName(QStringLiteral("dropWidget"));
    dropWidget->move(dropWidgetPos);
    dropWidget->setVisible(dropWidgetVisible);
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
    connect(singleShotScreen, &CCropScreen::shot, this, &CBrightloomMainWidget::playCamSound);
    connect(singleShotScreen, &CCropScreen::shot, uploadingMovie, &QMovie::start);
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
    connect(comparisonShotScreen, &CComparisonShotScreen::secondShot, uploadingMovie, &QMovie::start);
    connect(comparisonShotScreen, &CComparisonShotScreen::finished, this,
            &CBrightloomMainWidget::onComparisonShotFinished);

    // Also closes the host whenever it is left without a visible overlay.
    BL::Capture::setupHostWindow(this, {singleShotScreen, helpScreen, comparisonShotScreen, localShotScreen});
}

void CBrightloomMainWidget::showOverlay(QWidget* overlay)
{
    if (lagProbe)
        lagProbe->reset();
    BL::Capture::showOverlay(this, overlay);
}

void CBrightloomMainWidget::releaseIdleMemory()
{
    // The full-screen window and its buffers are made again in a few
    // milliseconds at the next hotkey; between shots they would only sit in memory.
    if (!isVisible())
        destroy();
    BL::Platform::releaseScreenGrabBuffers();
    BL::Platform::releaseFreeMemory();
}

void CBrightloomMainWidget::keyPressEvent(QKeyEvent* event)
{
    BL::Capture::routeHostKey(this, event);
}

void CBrightloomMainWidget::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    BL::Capture::hostClosed(this);
    idleTimer->start();
}

void CBrightloomMainWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    BL::Capture::hostShown(this);
}

// ---------------------------------------------------------------- settings

void CBrightloomMainWidget::readSettings()
{
    const std::pair<const char*, CGlobalShortcut*> shortcuts[] = {
        {"single_shot_shortcut", singleShotShortcut},
        {"comparison_shot_shortcut", comparisonShotShortcut},
        {"local_shot_shortcut", localShotShortcut},
        {"drop_widget_shortcut", dropWidgetShortcut},
    };
    for (const auto& [key, shortcut] : shortcuts) {
        const QString text = settings->value(QLatin1String(key), QString()).toString();
        if (!text.isEmpty())
            shortcut->setShortcut(QKeySequence(text, QKeySequence::NativeText));
    }

    soundEnabled = settings->value(QStringLiteral("sound_enabled"), true).toBool();
    muteSoundAction->setChecked(!soundEnabled);
    preHelpShown = settings->value(QStringLiteral("show_pre_help"), false).toBool();
    pasteHelpShown = settings->value(QStringLiteral("show_paste_help"), false).toBool();

    const QString defaultDir = QDir::homePath() + QStringLiteral("/brightloom_screens");
    localStorageDir = settings->value(QStringLiteral("local_storage_dir"), defaultDir).toString();
    // Only the default directory is ours to create; a chosen one is the user's business.
    if (localStorageDir == defaultDir && !QDir(defaultDir).exists())
        QDir::home().mkdir(QStringLiteral("brightloom_screens"));

    dropWidgetPos = QPoint(settings->value(QStringLiteral("drop_widget_pos_x"), 500).toInt(),
                           settings->value(QStringLiteral("drop_widget_pos_y"), 500).toInt());
    dropWidgetVisible = settings->value(QStringLiteral("drop_widget_visible"), false).toBool();

    if (CUser::instance()->load(settings))
        signWithHash(CUser::instance()->userHash());
    else
        updateUserStatus();
}

void CBrightloomMainWidget::writeSettings()
{
    settings->setValue(QStringLiteral("single_shot_shortcut"),
                       singleShotShortcut->shortcut().toString(QKeySequence::PortableText));
    settings->setValue(QStringLiteral("comparison_shot_shortcut"),
                       comparisonShotShortcut->shortcut().toString(QKeySequence::PortableText));
    settings->setValue(QStringLiteral("drop_widget_shortcut"),
                       dropWidgetShortcut->shortcut().toString(QKeySequence::PortableText));
    settings->setValue(QStringLiteral("local_shot_shortcut"),
                       localShotShortcut->shortcut().toString(QKeySequence::PortableText));
    settings->setValue(QStringLiteral("local_storage_dir"), localStorageDir);
    settings->setValue(QStringLiteral("sound_enabled"), soundEnabled);
    settings->setValue(QStringLiteral("show_pre_help"), preHelpShown);
    settings->setValue(QStringLiteral("show_paste_help"), pasteHelpShown);
    const QPoint dropPos = dropWidget ? dropWidget->pos() : dropWidgetPos;
    settings->setValue(QStringLiteral("drop_widget_pos_x"), dropPos.x());
    settings->setValue(QStringLiteral("drop_widget_pos_y"), dropPos.y());
    settings->setValue(QStringLiteral("drop_widget_visible"),
                       dropWidget ? dropWidget->isVisible() : dropWidgetVisible);
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
    trayMenu->addAction(uploadFileAction);
    trayMenu->addAction(uploadUrlAction);
    trayMenu->addSeparator();
    trayMenu->addAction(historyAction);
    trayMenu->addAction(signInAction);
    trayMenu->addSeparator();
    trayMenu->addAction(shortcutsAction);
    trayMenu->addAction(storageDirAction);
    trayMenu->addAction(muteSoundAction);
    trayMenu->addSeparator();
    trayMenu->addAction(checkUpdatesAction);
    trayMenu->addAction(aboutAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    historyAction->setVisible(false);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setObjectName(QStringLiteral("trayIcon"));
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(standardIcon);
    trayIcon->setVisible(true);
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
    audioAvailable = false;
    shutterSound = nullptr;
    uploadedSound = nullptr;
    const auto devices = QAudioDeviceInfo::availableDevices(QAudio::AudioOutput);
    // Backends list a nameless placeholder even when no device exists at all.
    const bool anyDevice = std::any_of(devices.cbegin(), devices.cend(),
                                       [](const QAudioDeviceInfo& d) { return !d.deviceName().isEmpty(); });
    if (!anyDevice) {
        qCDebug(lcApp) << "no audio output device; sounds are off for this run";
        muteSoundAction->setEnabled(false);
        return;
    }
    // QSound plays files only, so each resource gets a native copy on disk.
    auto nativeSound = [this](const QString& resource, std::unique_ptr<QTemporaryFile>& file) -> QSound* {
        file.reset(QTemporaryFile::createNativeFile(resource));
        if (!file)
            return nullptr;
        return new QSound(file->fileName(), this);
    };
    shutterSound = nativeSound(QStringLiteral(":Shutter-02.wav"), shutterSoundFile);
    uploadedSound = nativeSound(QStringLiteral(":SmallGlockA.wav"), uploadedSoundFile);
    audioAvailable = true;
}

void CBrightloomMainWidget::switchSound()
{
    soundEnabled = !soundEnabled;
    writeSettings();
}

void CBrightloomMainWidget::update()
{
    updater->checkInBackground();
}

void CBrightloomMainWidget::showBalloon(const QString& text, QSystemTrayIcon::MessageIcon icon, int ms)
{
    const char* kind = icon == QSystemTrayIcon::Critical  ? "Critical"
                       : icon == QSystemTrayIcon::Warning ? "Warning"
                                                          : "Information";
    qCDebug(lcApp).noquote() << "balloon" << kind << text;
    trayIcon->showMessage(appTitle, text, icon, ms);
}

void CBrightloomMainWidget::setStandardTrayIcon()
{
    trayIcon->setIcon(standardIcon);
}

void CBrightloomMainWidget::onUploadingMovieFrameChanged(int)
{
    trayIcon->setIcon(QIcon(uploadingMovie->currentPixmap()));
}

void CBrightloomMainWidget::onUploadedMovieFrameChanged(int)
{
    trayIcon->setIcon(QIcon(uploadedMovie->currentPixmap()));
}

void CBrightloomMainWidget::playCamSound()
{
    if (audioAvailable && soundEnabled && shutterSound)
        shutterSound->play();
}

void CBrightloomMainWidget::playUploadedSound()
{
    if (audioAvailable && soundEnabled && uploadedSound)
        uploadedSound->play();
}

void CBrightloomMainWidget::showTrayErrorMessage(const QString& errorDesc)
{
    showBalloon(errorDesc, QSystemTrayIcon::Critical, 3000);
    uploadingMovie->stop();
    uploadedMovie->stop();
    trayIcon->setIcon(standardIcon);
}

void CBrightloomMainWidget::beginBusy()
{
    uploadedMovie->stop();
    // A second upload must not restart the animation that is already running.
    if (uploadingMovie->state() != QMovie::Running)
        uploadingMovie->start();
}

void CBrightloomMainWidget::markUploadDone()
{
    trayIcon->setIcon(standardIcon);
    uploadingMovie->stop();
    uploadedMovie->start();
    // Precise timers: coarse ones (the default above 2 s) may swap these two,
    // and a frame after the reset would stay on the tray for good.
    QTimer::singleShot(kUploadedAnimationMs, Qt::PreciseTimer, uploadedMovie, &QMovie::stop);
    QTimer::singleShot(kStandardIconResetMs, Qt::PreciseTimer, this,
                       &CBrightloomMainWidget::setStandardTrayIcon);
}

// ---------------------------------------------------------------- hotkeys

void CBrightloomMainWidget::createShortcuts()
{
    auto make = [this](const QString& text) {
        return new CGlobalShortcut(QKeySequence(text, QKeySequence::NativeText), this);
    };
    singleShotShortcut = make(kSingleShotDefault);
    comparisonShotShortcut = make(kComparisonShotDefault);
    dropWidgetShortcut = make(kDropWidgetDefault);
    localShotShortcut = make(kLocalShotDefault);
    enableHotkeys();
}

void CBrightloomMainWidget::enableHotkeys()
{
    // Attaching twice would run every action twice per press.
    const auto attach = [this](CGlobalShortcut* shortcut, void (CBrightloomMainWidget::*handler)()) {
        connect(shortcut, &CGlobalShortcut::activated, this, handler, Qt::UniqueConnection);
        shortcut->setEnabled(true);
    };
    attach(singleShotShortcut, &CBrightloomMainWidget::onGlobalSingleShotShortcutActivated);
    attach(dropWidgetShortcut, &CBrightloomMainWidget::onGlobalDropWidgetShortcutActivated);
    attach(comparisonShotShortcut, &CBrightloomMainWidget::onGlobalComparisonShotShortcutActivated);
    attach(localShotShortcut, &CBrightloomMainWidget::onGlobalLocalShotShortcutActivated);
}

void CBrightloomMainWidget::disableHotkeys()
{
    for (CGlobalShortcut* shortcut :
         {singleShotShortcut, comparisonShotShortcut, dropWidgetShortcut, localShotShortcut}) {
        disconnect(shortcut, &CGlobalShortcut::activated, this, nullptr);
        shortcut->setEnabled(false);
    }
}

void CBrightloomMainWidget::showOptionsDialog() {}

void CBrightloomMainWidget::onGlobalSingleShotShortcutActivated()
{
    if (trayMenu->isVisible())
        trayMenu->hide();
    showOverlay(singleShotScreen);
}

void CBrightloomMainWidget::onGlobalComparisonShotShortcutActivated()
{
    if (trayMenu->isVisible())
        trayMenu->hide();
    showOverlay(comparisonShotScreen);
}

void CBrightloomMainWidget::onGlobalLocalShotShortcutActivated()
{
    if (trayMenu->isVisible())
        trayMenu->hide();
    showOverlay(localShotScreen);
}

void CBrightloomMainWidget::onGlobalDropWidgetShortcutActivated()
{
    dropWidget->setVisible(!dropWidget->isVisible());
}

// ---------------------------------------------------------------- flows

void CBrightloomMainWidget::uploadFile()
{
    auto* dialog = new QFileDialog(nullptr, QString(), QString(), QString());
    dialog->setObjectName(QStringLiteral("uploadFileDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(tr("Images (*.png *.jpg)"));
    dialog->setViewMode(QFileDialog::Detail);
    const QStringList pictures = QStandardPaths::standardLocations(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty())
        dialog->setDirectory(pictures.first());
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setModal(true);
    connect(dialog, &QFileDialog::fileSelected, this, &CBrightloomMainWidget::onFileToUploadSelected);
    connect(dialog, &QFileDialog::finished, trayMenu, [menu = trayMenu] { menu->setEnabled(true); });
    connect(dialog, &QFileDialog::finished, dialog, &QObject::deleteLater);
    trayMenu->setEnabled(false);
    dialog->show();
}

void CBrightloomMainWidget::onFileToUploadSelected(const QString& file)
{
    if (!file.isEmpty())
        startUploadingSnapshot(QPixmap(file));
}

void CBrightloomMainWidget::reserveCodeFor(int kind, const QVariant& value, const QVariant& value2)
{
    beginBusy();
    auto* request = new CReserveCodeRequest;
    request->setProperty("type", kind);
    request->setProperty("value", value);
    if (value2.isValid())
        request->setProperty("value2", value2);
    if (kind != BL::Api::UrlUploadKind) {
        QList<QPixmap> pictures{value.value<QPixmap>()};
        if (value2.isValid())
            pictures << value2.value<QPixmap>();
        new CPictureEncoder(pictures, request);
    }
    connect(request, &CReserveCodeRequest::codeReserved, this, &CBrightloomMainWidget::onUrlCodeReserved);
    connect(request, &CReserveCodeRequest::errorOccured, this, &CBrightloomMainWidget::showTrayErrorMessage);
    CServerManager::instance()->sendRequest(request);
}

void CBrightloomMainWidget::startUploadingSnapshot(const QPixmap& pm)
{
    uploadedMovie->stop();
    if (pm.isNull()) {
        qDebug("void BL::startUploadingSnapshot(const QPixmap &pm). Null pixmap was tried to upload");
        return;
    }
    reserveCodeFor(BL::Api::PixmapUploadKind, QVariant::fromValue(pm));
}

void CBrightloomMainWidget::onComparisonShotFinished(const QPixmap& firstShot, const QPixmap& secondShot)
{
    uploadedMovie->stop();
    if (firstShot.isNull() || secondShot.isNull())
        return;
    reserveCodeFor(BL::Api::ComparisonUploadKind, QVariant::fromValue(firstShot),
                   QVariant::fromValue(secondShot));
}

void CBrightloomMainWidget::startUploadingImageFromUrl(const QUrl& url)
{
    reserveCodeFor(BL::Api::UrlUploadKind, url);
}

void CBrightloomMainWidget::startUploadingImageFile(const QString& fileName)
{
    if (!fileName.isEmpty() && QFileInfo::exists(fileName))
        startUploadingSnapshot(QPixmap(fileName));
}

void CBrightloomMainWidget::onUrlCodeReserved(const QString& code, const QString& url)
{
    QGuiApplication::clipboard()->setText(url);
    qCDebug(lcPerf) << "perf clipboard" << BL::App::monotonicMicroseconds();
    auto* reservation = qobject_cast<CReserveCodeRequest*>(sender());
    if (!reservation)
        return;
    const int kind = reservation->property("type").toInt();
    if (kind == BL::Api::UrlUploadKind) {
        sendUpload(new CUploadUrlRequest(reservation->property("value").toUrl(), code));
        return;
    }
    if (kind != BL::Api::PixmapUploadKind && kind != BL::Api::ComparisonUploadKind)
        return;
    // The reservation goes away after this slot; its encoder lives on until the upload is sent.
    auto* encoder = reservation->findChild<CPictureEncoder*>();
    if (!encoder)
        return;
    encoder->setParent(this);
    auto send = [this, encoder, kind, code] {
        qCDebug(lcPerf) << "perf encoded" << BL::App::monotonicMicroseconds();
        const QList<QByteArray> png = encoder->result();
        encoder->deleteLater();
        if (kind == BL::Api::PixmapUploadKind && png.size() == 1)
            sendUpload(new CPixmapUploadRequest(png.at(0), code));
        else if (kind == BL::Api::ComparisonUploadKind && png.size() == 2)
            sendUpload(new CUploadComparisonShotRequest(png.at(0), png.at(1), code));
    };
    if (encoder->isFinished())
        send();
    else
        connect(encoder, &CPictureEncoder::finished, this, send);
}

template<typename Upload> void CBrightloomMainWidget::sendUpload(Upload* upload)
{
    connect(upload, &Upload::uploadedOk, this, &CBrightloomMainWidget::onPictureUploaded);
    connect(upload, &Upload::uploadingFailed, this, &CBrightloomMainWidget::onUploadingFailed);
    CServerManager::instance()->sendRequest(upload);
}

void CBrightloomMainWidget::onPictureUploaded(const QString&)
{
    idleTimer->start();
    if (lagProbe)
        qCDebug(lcPerf) << "perf uploaded" << BL::App::monotonicMicroseconds() << "max-block"
                        << lagProbe->maxBlockMicroseconds();
    markUploadDone();
    if (!pasteHelpShown)
        showPasteHelp();
    playUploadedSound();
    showBalloon(
        tr("Screenshot succesfully uploaded.\nPress %1 to paste the link").arg(QStringLiteral("Ctrl+V")),
        QSystemTrayIcon::Information, 5000);
}

void CBrightloomMainWidget::onUploadingFailed(const QString& errorDesc)
{
    idleTimer->start();
    uploadingMovie->stop();
    setStandardTrayIcon();
    showBalloon(errorDesc, QSystemTrayIcon::Critical, 5000);
}

void CBrightloomMainWidget::savePixmapToLocalStorage(const QPixmap& pm)
{
    if (pm.isNull())
        return;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd_hh.mm.ss"));
    // Two shots within one second must not overwrite each other: the first keeps
    // the plain name, later ones get a counter. NewOnly makes the check atomic.
    QString fileName;
    QFile file;
    bool saved = false;
    for (int n = 1; n < 1000 && !saved; ++n) {
        const QString suffix = n == 1 ? QString() : QStringLiteral("-") + QString::number(n);
        fileName = QStringLiteral("%1/%2%3_shot.png").arg(localStorageDir, stamp, suffix);
        file.setFileName(fileName);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            saved = pm.save(&file, "PNG");
            file.close();
            if (!saved)
                file.remove();
            break;
        }
        if (!file.exists())
            break; // not a name clash: the directory is missing or not writable
    }
    if (saved) {
        showBalloon(tr("Screenshot saved as %1").arg(QDir::toNativeSeparators(fileName)),
                    QSystemTrayIcon::Information, 5000);
        return;
    }
    qCWarning(lcApp) << "could not save a local shot as" << fileName << file.errorString();
    showBalloon(tr("Some error occured while saving the screenshot"), QSystemTrayIcon::Critical, 3000);
    uploadingMovie->stop();
    uploadedMovie->stop();
    setStandardTrayIcon();
}

void CBrightloomMainWidget::onUploadImageFromUrl()
{
    CUrlInputDialog dialog;
    const auto unlock = lockTrayMenu();
    if (dialog.exec() == QDialog::Accepted)
        startUploadingImageFromUrl(dialog.url());
}

void CBrightloomMainWidget::onLocalDirActionTriggered()
{
    CChooseLocalDirDialog dialog(localStorageDir);
    const auto unlock = lockTrayMenu();
    if (dialog.exec() == QDialog::Accepted)
        localStorageDir = dialog.selectedDirectory();
}

// ---------------------------------------------------------------- sign-in

void CBrightloomMainWidget::showLoginDialog()
{
    if (CUser::instance()->isSignedIn()) {
        signOut();
        return;
    }
    // The sign-in dialog joins here when it lands.
}

void CBrightloomMainWidget::onLoginRequested(const QString& name, const QString& passwd, bool rememberMe)
{
    CUser::instance()->setUserInfo(name, passwd, rememberMe);
    signWithHash(CUser::instance()->userHash());
}

void CBrightloomMainWidget::signWithHash(const QString& hash)
{
    auto* request = new CHashLoginRequest(hash);
    connect(request, &CHashLoginRequest::signInOk, this, &CBrightloomMainWidget::onLoginOk);
    connect(request, &CHashLoginRequest::signInFailed, this, &CBrightloomMainWidget::onLoginFailed);
    CServerManager::instance()->sendRequest(request);
}

void CBrightloomMainWidget::onLoginOk()
{
    CUser::instance()->setSignedIn();
    updateUserStatus();
    CUser::instance()->save(settings);
}

void CBrightloomMainWidget::onLoginFailed(const QString& errorDesc)
{
    CUser::instance()->signOut();
    QMessageBox::critical(this, appTitle, errorDesc, QMessageBox::Ok);
}

void CBrightloomMainWidget::signOut()
{
    CUser::instance()->signOut();
    updateUserStatus();
    CUser::instance()->save(settings);
}

void CBrightloomMainWidget::updateUserStatus()
{
    const bool signedIn = CUser::instance()->isSignedIn();
    historyAction->setVisible(signedIn);
    signInAction->setText(signedIn ? QStringLiteral("Sign out") : QStringLiteral("Sign in\u2026"));
    if (crashReporter)
        crashReporter->setUser(CUser::instance());
    if (signedIn)
        showBalloon(tr("Signed in as %1.").arg(CUser::instance()->userInfo().userName),
                    QSystemTrayIcon::Information, 5000);
}

void CBrightloomMainWidget::showHelp()
{
    const QString hotkey = singleShotShortcut->shortcut().toString(QKeySequence::PortableText);
    helpScreen->setHelpImage(QStringLiteral(":cam.png"));
    helpScreen->setHelpText(tr("Welcome to Brightloom!\n\nIn the future, you just have to hit %1\nanytime to "
                               "grab screen. Enjoy selecting!")
                                .arg(hotkey));
    showOverlay(helpScreen);
    preHelpShown = true;
    writeSettings();
}

void CBrightloomMainWidget::showPasteHelp()
{
    helpScreen->setHelpImage(QStringLiteral(":grab_share_brightloom.png"));
    helpScreen->setHelpText(tr("Upload completed!\n\nNow just hit %1 to paste the link and collaborate!")
                                .arg(QStringLiteral("Ctrl+V")));
    showOverlay(helpScreen);
    pasteHelpShown = true;
    writeSettings();
}

void CBrightloomMainWidget::openWebPage(const QString& url)
{
    if (!QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode)))
        QMessageBox::warning(this, appTitle + tr(": Warning"), appTitle + tr(" couldn't open web browser."),
                             QMessageBox::Ok);
}

void CBrightloomMainWidget::showHistory()
{
    openWebPage(QStringLiteral("%1/user/history").arg(CServerManager::instance()->baseUrl()));
}

void CBrightloomMainWidget::showRegistrationPage()
{
    openWebPage(QStringLiteral("%1/signup").arg(CServerManager::instance()->baseUrl()));
}

void CBrightloomMainWidget::showAbout()
{
    // The reference service hosts the product pages too.
    openWebPage(QStringLiteral("%1/about").arg(CServerManager::instance()->baseUrl()));
}
