#pragma once

#include <QIcon>
#include <QPoint>
#include <QPointer>
#include <QScopeGuard>
#include <QWidget>
#include <functional>
#include <memory>

class CAbstractCrashReporter;
class CAbstractSoftwareUpdater;
class CGlobalShortcut;
class QAction;
class QMenu;
class QMovie;
class QSettings;
class QSound;
class QSystemTrayIcon;
class QTemporaryFile;

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
    void uploadFile();
    void onFileToUploadSelected(const QString& file);
    void onUploadImageFromUrl();
    void onLocalDirActionTriggered();

    // Sign-in and web links
    void showLoginDialog();
    void updateUserStatus();
    void signWithHash(const QString& hash);
    void showHistory();
    void showAbout();

    // Icon state rules shared by every upload.
    void beginBusy();
    void markUploadDone();

private:
    void createActions();
    void createTrayIcon();
    void createShortcuts();
    void initSounds();
    // Disables the tray menu while a dialog of it runs; re-enabled when the guard goes.
    [[nodiscard]] QScopeGuard<std::function<void()>> lockTrayMenu();

    QString appTitle;
    QSettings* settings = nullptr;
    bool soundEnabled = true;
    bool audioAvailable = false;
    bool preHelpShown = false;
    bool pasteHelpShown = false;
    QPoint dropWidgetPos;
    bool dropWidgetVisible = false;
    CGlobalShortcut* singleShotShortcut = nullptr;
    CGlobalShortcut* comparisonShotShortcut = nullptr;
    CGlobalShortcut* dropWidgetShortcut = nullptr;
    CGlobalShortcut* localShotShortcut = nullptr;
    bool hotkeysAttached = false;
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
    std::unique_ptr<CAbstractSoftwareUpdater> updater;
    std::shared_ptr<CAbstractCrashReporter> crashReporter;
};
