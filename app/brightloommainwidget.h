#pragma once

#include "app/hotkeytable.h"
#include "app/settingsrecord.h"

#include <QIcon>
#include <QScopeGuard>
#include <QWidget>
#include <functional>
#include <memory>

class CAbstractCrashReporter;
class CAbstractSoftwareUpdater;
enum class EUpdateCheckResult;
class CComparisonShotScreen;
class CCropScreen;
class CDropAcceptableWidget;
class CHelpScreen;
class CLocalServerHandler;
class CLoginDialog;
class QAction;
class QMenu;
class QSettings;
class QTimer;
class QUrl;

namespace BL::App {
class CEventLoopLagProbe;
class CFrozenShot;
class CInstanceCommands;
class CLocalShotWriter;
struct SLocalShotResult;
class CTrayPresenter;
class CUploadPipeline;
class CUserSession;
} // namespace BL::App
namespace BL::Capture {
class COverlayHost;
}

// The one long-lived object of the program: owner of the settings, the tray icon with its
// menu, the global hotkeys, the overlays (for which it is also the full-screen host window),
// the drop widget, the updater and the crash reporter. Its slots are what the menu, the
// hotkeys, the overlays and the drop widget reach; each delegates to a focused class:
//   CTrayPresenter  icon rules, animations, sounds, balloons     (app/traypresenter.h)
//   CUploadPipeline reservation → link → upload → done/failed    (app/uploadpipeline.h)
//   CHotkeyTable    the four hotkeys, their defaults and keys    (app/hotkeytable.h)
//   SSettings       every preference, read and written together  (app/settingsrecord.h)
//   CUserSession    sign-in, remembered login, sign-out          (app/usersession.h)
//   COverlayHost    the host window of the overlays              (capture/overlayhost.h)
//   CInstanceCommands  actions handed over by later starts       (app/commandline.h)
//   CFrozenShot     the desktop's picture under the overlays (Wayland) (app/frozenshot.h)
class CBrightloomMainWidget : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CBrightloomMainWidget)

public:
    explicit CBrightloomMainWidget(std::shared_ptr<CAbstractCrashReporter> crashReporter);
    ~CBrightloomMainWidget() override;

public slots:
    void loadFonts();
    // A message from a later start of the program: an action from its command line, or a wake-up.
    void runInstanceCommand(const QString& message);

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private slots:
    // Settings
    void readSettings();
    void writeSettings();

    // Tray, icons and sounds
    void switchSound();
    void update();
    void setStandardTrayIcon();
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

private:
    void createActions();
    void createTrayIcon();
    void createShortcuts();
    void initSounds();
    void createUploadPipeline();
    void createUserSession();
    void createLoginDialog();
    void createDropWidget();
    void createScreens();
    void showOverlay(QWidget* overlay);
    void presentOverlay(QWidget* overlay);
    // Where the desktop binds no keys for us, says once which commands to bind instead.
    void adviseCommandLineActions();
    void onLocalShotWritten(const BL::App::SLocalShotResult& result);
    void onHotkey(BL::App::EHotkey hotkey);
    // A Warning balloon naming each hotkey that cannot act (combination taken, no such key).
    void warnAboutUnusableHotkeys();
    void openWebPage(const QString& url);
    void onUpdateCheckFinished(EUpdateCheckResult result);
    // Disables the tray menu while a dialog of it runs; re-enabled when the guard goes.
    [[nodiscard]] QScopeGuard<std::function<void()>> lockTrayMenu();

    QString appTitle;
    QSettings* settings = nullptr;
    BL::App::SSettings prefs; // the values in force; dropWidgetPos/-Visible only until it exists
    CHelpScreen* helpScreen = nullptr;
    CCropScreen* singleShotScreen = nullptr;
    CCropScreen* localShotScreen = nullptr;
    CComparisonShotScreen* comparisonShotScreen = nullptr;
    BL::Capture::COverlayHost* overlayHost = nullptr;
    std::unique_ptr<CDropAcceptableWidget> dropWidget; // a top-level window of its own
    std::unique_ptr<CLoginDialog> loginDialog;         // made once, run from the menu
    BL::App::CHotkeyTable* hotkeys = nullptr;
    QIcon standardIcon;
    BL::App::CTrayPresenter* tray = nullptr;
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
    BL::App::CUploadPipeline* uploads = nullptr;
    BL::App::CLocalShotWriter* localShots = nullptr;
    CLocalServerHandler* localServer = nullptr;
    BL::App::CUserSession* session = nullptr;
    BL::App::CInstanceCommands* instanceCommands = nullptr;
    // The picture the overlays show where the screen cannot be read.
    BL::App::CFrozenShot* frozenShot = nullptr;
    QTimer* idleTimer = nullptr;
    BL::App::CEventLoopLagProbe* lagProbe = nullptr; // only while timing diagnostics are on
    std::unique_ptr<CAbstractSoftwareUpdater> updater;
    bool confirmUpToDate = false; // the running update check was asked for from the menu
    std::shared_ptr<CAbstractCrashReporter> crashReporter;
};
