#include "app/brightloommainwidget.h"

#include "api/user.h"
#include "app/logging.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/softwareupdater.h"
#include "platform/globalshortcut.h"

#include <QAction>
#include <QApplication>
#include <QAudioDeviceInfo>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMenu>
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

// The overlays ask for this family; the compiled-in font stands in for it.
const QString kOverlayFontFamily = QStringLiteral("Century Gothic");

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
    // Drop widget, overlays, local upload server and sign-in dialog join here as they land.
    initSounds();

    QTimer::singleShot(0, this, &CBrightloomMainWidget::loadFonts);
    if (updater->automaticChecksEnabled())
        updater->checkInBackground();
}

CBrightloomMainWidget::~CBrightloomMainWidget()
{
    writeSettings();
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
    const int id = QFontDatabase::addApplicationFont(QStringLiteral(":Century Gothic.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    // The compiled-in file carries a free family of its own name: let the
    // overlays' family name resolve to it.
    if (!families.isEmpty() && !families.contains(kOverlayFontFamily))
        QFont::insertSubstitution(kOverlayFontFamily, families.first());
}

// ---------------------------------------------------------------- host window

void CBrightloomMainWidget::keyPressEvent(QKeyEvent* event)
{
    QWidget::keyPressEvent(event);
}

void CBrightloomMainWidget::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    unsetCursor();
}

void CBrightloomMainWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    activateWindow();
    raise();
    setFocus(Qt::OtherFocusReason);
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
    settings->setValue(QStringLiteral("drop_widget_pos_x"), dropWidgetPos.x());
    settings->setValue(QStringLiteral("drop_widget_pos_y"), dropWidgetPos.y());
    settings->setValue(QStringLiteral("drop_widget_visible"), dropWidgetVisible);
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
    trayIcon->showMessage(appTitle, errorDesc, QSystemTrayIcon::Critical, 3000);
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
    QTimer::singleShot(kUploadedAnimationMs, uploadedMovie, &QMovie::stop);
    QTimer::singleShot(kStandardIconResetMs, this, &CBrightloomMainWidget::setStandardTrayIcon);
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

void CBrightloomMainWidget::onGlobalSingleShotShortcutActivated() {}

void CBrightloomMainWidget::onGlobalComparisonShotShortcutActivated() {}

void CBrightloomMainWidget::onGlobalLocalShotShortcutActivated() {}

void CBrightloomMainWidget::onGlobalDropWidgetShortcutActivated() {}

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

void CBrightloomMainWidget::onFileToUploadSelected(const QString&) {}

void CBrightloomMainWidget::onUploadImageFromUrl() {}

void CBrightloomMainWidget::onLocalDirActionTriggered() {}

// ---------------------------------------------------------------- sign-in

void CBrightloomMainWidget::showLoginDialog() {}

void CBrightloomMainWidget::signWithHash(const QString&) {}

void CBrightloomMainWidget::updateUserStatus()
{
    const bool signedIn = CUser::instance()->isSignedIn();
    historyAction->setVisible(signedIn);
    signInAction->setText(signedIn ? QStringLiteral("Sign out") : QStringLiteral("Sign in\u2026"));
    if (crashReporter)
        crashReporter->setUser(CUser::instance());
    if (signedIn)
        trayIcon->showMessage(appTitle, tr("Signed in as %1.").arg(CUser::instance()->userInfo().userName),
                              QSystemTrayIcon::Information, 5000);
}

void CBrightloomMainWidget::showHistory() {}

void CBrightloomMainWidget::showAbout() {}
