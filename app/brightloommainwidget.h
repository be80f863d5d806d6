#pragma once

#include <QIcon>
#include <QPixmap>
#include <QPoint>
#include <QPointer>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>

namespace BL::App {
class CEventLoopLagProbe;
}
class CAbstractCrashReporter;
class CComparisonShotScreen;
class CDropAcceptableWidget;
class CCropScreen;
class CHelpScreen;
class CAbstractSoftwareUpdater;
class CGlobalShortcut;
class QAction;
class QMenu;
class QMovie;
class QSettings;
class QSound;
class QTemporaryFile;
class QTimer;

// The one long-lived object of the program: owner of the tray icon with its
// menu, animations and sounds, the settings, the global shortcuts and the
// overlays, for which it is also the full-screen host window.
class CBrightloomMainWidget : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CBrightloomMainWidget)

public:
    explicit CBrightloomMainWidget(std::shared_ptr<CAbstractCrashReporter> crashReporter);
    ~CBrightloomMainWidget() override;

public slots:
    void loadFonts();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private slots:
    // Settings
    void readSettings();
    void writeSettings();

    // Tray, icons and sounds
    void switchSound();
    void update();
    void setStandardTrayIcon();
    void onUploadingMovieFrameChanged(int frame);
    void onUploadedMovieFrameChanged(int frame);
    void playCamSound();
    void playUploadedSound();
    void showTrayErrorMessage(const QString& errorDesc);

    // Hotkeys
    void enableHotkeys();
    void disableHotkeys();
    void showOptionsDialog();
    void onGlobalSingleShotShortcutActivated();
    void onGlobalComparisonShotShortcutActivated();
    void onGlobalLocalShotShortcutActivated();
    void onGlobalDropWidgetShortcutActivated();

    // Flows
    void startUploadingSnapshot(const QPixmap& pm);
    void onComparisonShotFinished(const QPixmap& firstShot, const QPixmap& secondShot);
    void savePixmapToLocalStorage(const QPixmap& pm);
    void startUploadingImageFromUrl(const QUrl& url);
    void startUploadingImageFile(const QString& fileName);
    void onUrlCodeReserved(const QString& code, const QString& url);
    void onPictureUploaded(const QString& link);
    void onUploadingFailed(const QString& errorDesc);
    void uploadFile();
    void onFileToUploadSelected(const QString& file);
    void onUploadImageFromUrl();
    void onLocalDirActionTriggered();

    // Sign-in, help screens and web links
    void showLoginDialog();
    void onLoginRequested(const QString& name, const QString& passwd, bool rememberMe);
    void signWithHash(const QString& hash);
    void onLoginOk();
    void onLoginFailed(const QString& errorDesc);
    void signOut();
    void updateUserStatus();
    void showHelp();
    void showPasteHelp();
    void showHistory();
    void showRegistrationPage();
    void showAbout();

    void releaseIdleMemory();

    // Icon state rules shared by every upload.
    void beginBusy();
    void markUploadDone();

private:
    void createActions();
    void createTrayIcon();
    void createShortcuts();
    void initSounds();
    void createDropWidget();
    void createScreens();
    void showOverlay(QWidget* overlay);
    // Every upload starts alike: busy tray icon, then a reservation carrying what follows it.
    void reserveCodeFor(int kind, const QVariant& value, const QVariant& value2 = QVariant());
    void openWebPage(const QString& url);
    template<typename Upload> void sendUpload(Upload* upload);
    // Every tray balloon goes through here, so that it also reaches the debug log.
    void showBalloon(const QString& text, QSystemTrayIcon::MessageIcon icon, int ms);
    // Disables the tray menu while a dialog of it runs; re-enabled when the guard goes.
    [[nodiscard]] QScopeGuard<std::function<void()>> lockTrayMenu();

    QString appTitle;
    QSettings* settings = nullptr;
    bool soundEnabled = true;
    bool audioAvailable = false;
    bool preHelpShown = false;
    bool pasteHelpShown = false;
    CHelpScreen* helpScreen = nullptr;
    CCropScreen* singleShotScreen = nullptr;
    CCropScreen* localShotScreen = nullptr;
    CComparisonShotScreen* comparisonShotScreen = nullptr;
    std::unique_ptr<CDropAcceptableWidget> dropWidget; // a top-level window of its own
    QPoint dropWidgetPos;
    bool dropWidgetVisible = false;
    CGlobalShortcut* singleShotShortcut = nullptr;
    CGlobalShortcut* comparisonShotShortcut = nullptr;
    CGlobalShortcut* dropWidgetShortcut = nullptr;
    CGlobalShortcut* localShotShortcut = nullptr;
    QIcon standardIcon;
    QString localStorageDir;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* uploadFileAction = nullptr;
    QAction* uploadUrlAction = nullptr;
    QAction* historyAction = nullptr;
    QAction* signInAction = nullptr;
    QAction* shortcutsAction = nullptr;
    QAction* storageDirAction = nullptr;
    QAction* muteSoundAction = nullptr;
    QAction* checkUpdatesAction = nullptr;
    QAction* aboutAction = nullptr;
    QAction* quitAction = nullptr;
    std::unique_ptr<QTemporaryFile> shutterSoundFile;
    std::unique_ptr<QTemporaryFile> uploadedSoundFile;
    QSound* shutterSound = nullptr;
    QSound* uploadedSound = nullptr;
    QMovie* uploadingMovie = nullptr;
    QMovie* uploadedMovie = nullptr;
    QTimer* idleTimer = nullptr;
    BL::App::CEventLoopLagProbe* lagProbe = nullptr; // only while timing diagnostics are on
    std::unique_ptr<CAbstractSoftwareUpdater> updater;
    std::shared_ptr<CAbstractCrashReporter> crashReporter;
};
