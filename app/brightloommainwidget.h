#pragma once

#include "app/hotkeytable.h"
#include "app/settingsrecord.h"

#include <QIcon>
#include <QWidget>
#include <memory>

class CAbstractCrashReporter;
class CAbstractSoftwareUpdater;
enum class EUpdateCheckResult;
class CDropAcceptableWidget;
class CLocalServerHandler;
class CLoginDialog;
class QSettings;
class QUrl;

namespace BL::App {
class CEventLoopLagProbe;
class CIdleRelease;
class CInstanceCommands;
class CLocalShotWriter;
class CTextShot;
struct SLocalShotResult;
class COverlayControl;
class CRecentShares;
class CTrayMenu;
class CTrayPresenter;
class CHostUploads;
class CUploadDestinations;
class CUploadPipeline;
class CUserSession;
} // namespace BL::App

// The one long-lived object of the program: owner of the settings, the tray icon with its
// menu, the global hotkeys, the overlays (for which it is also the full-screen host window),
// the drop widget, the updater and the crash reporter. Its slots are what the menu, the
// hotkeys, the overlays and the drop widget reach; each delegates to a focused class:
//   CTrayPresenter  icon rules, animations, sounds, balloons     (app/traypresenter.h)
//   CTrayMenu       the tray menu's entries and its lock         (app/traymenu.h)
//   COverlayControl the selectors and the help screen, one shown (app/overlaycontrol.h)
//   CUploadPipeline reservation → link → upload → done/failed    (app/uploadpipeline.h)
//   CHotkeyTable    the hotkeys, their defaults and keys         (app/hotkeytable.h)
//   SSettings       every preference, read and written together  (app/settingsrecord.h)
//   CUserSession    sign-in, remembered login, sign-out          (app/usersession.h)
//   CIdleRelease    memory given back after a quiet spell        (app/idlerelease.h)
//   CInstanceCommands  actions handed over by later starts       (app/commandline.h)
//   CRecentShares   the record of shares: copy, open, delete, retry (app/recentshares.h)
//   CTextShot       the words of an area onto the clipboard      (app/textshot.h)
//   CUploadDestinations  the imported image hosts uploads can go to (app/uploaddestinations.h)
//   CHostUploads    uploads to an imported host: encode, send, link (app/hostuploads.h)
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
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
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
    void onGlobalTextShotShortcutActivated();

    // Flows
    void startUploadingSnapshot(const QPixmap& pm);
    void onComparisonShotFinished(const QPixmap& firstShot, const QPixmap& secondShot);
    void savePixmapToLocalStorage(const QPixmap& pm);
    void copyTextFromArea(const QPixmap& area);
    void startUploadingImageFromUrl(const QUrl& url);
    void startUploadingImageFile(const QString& fileName);
    void onUrlCodeReserved(const QString& code, const QString& url);
    void onPictureUploaded(const QString& link);
    void onUploadingFailed(const QString& errorDesc);
    void uploadFile();
    void onFileToUploadSelected(const QString& file);
    void onUploadImageFromUrl();
    void onLocalDirActionTriggered();

    // Recent shares and their expiry
    void refreshRecentShares();
    void copyShareLink(const QString& key);
    void openShare(const QString& key);
    void deleteShare(const QString& key);
    void retryUpload(const QString& key);
    void setShareExpiry(int seconds);

    // Where uploads go
    void refreshDestinations();
    void chooseDestination(const QString& name);
    void showImportUploaderDialog();
    void importUploader(const QString& fileName);

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

    // The host window's share of the idle release: its native window and backing store.
    void releaseIdleMemory();
    void compactIdleMemory();

private:
    void createTrayMenu();
    void createShortcuts();
    void initSounds();
    void createRecentShares();
    void createDestinations();
    void createHostUploads();
    // Sends `pictures` to the imported host in use; false when the Brightloom service is in use.
    bool uploadToChosenHost(const QList<QPixmap>& pictures);
    // What a finished upload shows and plays, wherever it went.
    void announceUploaded();
    // `error` with the names of the files that now keep the `unsent` pictures.
    QString withKept(const QString& error, const QList<QPixmap>& unsent);
    // The warning, once per destination, that the chosen one is reached without encryption.
    QString clearTextWarning();
    void createUploadPipeline();
    void createUserSession();
    void createLoginDialog();
    void createDropWidget();
    void createOverlays();
    void createTextShot();
    // Where the desktop binds no keys for us, says once which commands to bind instead.
    void adviseCommandLineActions();
    void onLocalShotWritten(const BL::App::SLocalShotResult& result);
    void onHotkey(BL::App::EHotkey hotkey);
    // A Warning balloon naming each hotkey that cannot act (combination taken, no such key).
    void warnAboutUnusableHotkeys();
    void openWebPage(const QString& url);
    void onUpdateCheckFinished(EUpdateCheckResult result);

    QString appTitle;
    QSettings* settings = nullptr;
    BL::App::SSettings prefs; // the values in force; dropWidgetPos/-Visible only until it exists
    BL::App::COverlayControl* overlays = nullptr;      // this widget is their full-screen host
    std::unique_ptr<CDropAcceptableWidget> dropWidget; // a top-level window of its own
    std::unique_ptr<CLoginDialog> loginDialog;         // made once, run from the menu
    BL::App::CHotkeyTable* hotkeys = nullptr;
    QIcon standardIcon;
    BL::App::CTrayPresenter* tray = nullptr;
    BL::App::CTrayMenu* trayMenu = nullptr;
    BL::App::CUploadPipeline* uploads = nullptr;
    BL::App::CRecentShares* shares = nullptr;
    std::unique_ptr<BL::App::CUploadDestinations> destinations;
    BL::App::CHostUploads* hostUploads = nullptr;
    BL::App::CLocalShotWriter* localShots = nullptr;
    BL::App::CTextShot* textShot = nullptr;
    CLocalServerHandler* localServer = nullptr;
    BL::App::CUserSession* session = nullptr;
    BL::App::CInstanceCommands* instanceCommands = nullptr;
    BL::App::CIdleRelease* idleRelease = nullptr;
    BL::App::CEventLoopLagProbe* lagProbe = nullptr; // only while timing diagnostics are on
    std::unique_ptr<CAbstractSoftwareUpdater> updater;
    bool confirmUpToDate = false; // the running update check was asked for from the menu
    std::shared_ptr<CAbstractCrashReporter> crashReporter;
};
