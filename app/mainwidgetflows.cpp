// The main widget's upload, local-shot, sign-in, help-screen and web-link slots.
#include "api/httprequest.h"
#include "api/servermanager.h"
#include "api/user.h"
#include "app/brightloommainwidget.h"
#include "app/idlerelease.h"
#include "app/localshot.h"
#include "app/logging.h"
#include "app/overlaycontrol.h"
#include "app/perfprobe.h"
#include "app/recentshares.h"
#include "app/textshot.h"
#include "app/traymenu.h"
#include "app/traypresenter.h"
#include "app/uploadpipeline.h"
#include "app/usersession.h"
#include "diagnostics/crashreporter.h"
#include "dialogs/chooselocaldirdialog.h"
#include "dialogs/logindialog.h"
#include "dialogs/urlinputdialog.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QUrl>

// ---------------------------------------------------------------- flows

void CBrightloomMainWidget::createUploadPipeline()
{
    BL::App::SUploadNotifier notifier;
    notifier.started = [this] { tray->beginBusy(); };
    notifier.reserved = [this](const QString& code, const QString& url) { onUrlCodeReserved(code, url); };
    notifier.uploaded = [this](const QString& link) { onPictureUploaded(link); };
    notifier.uploadFailed = [this](const QString& error, const QList<QPixmap>& unsent) {
        onUploadingFailed(withKept(error, unsent));
    };
    notifier.reservationFailed = [this](const QString& error, const QList<QPixmap>& unsent) {
        showTrayErrorMessage(withKept(error, unsent));
    };
    notifier.shared = [this](const QString& secret, const QString& link, int kind,
                             const QList<QPixmap>& pictures) {
        using BL::App::EShareKind;
        shares->recordShared(secret, link,
                             kind == BL::Api::ComparisonUploadKind ? EShareKind::Comparison
                             : kind == BL::Api::UrlUploadKind      ? EShareKind::Url
                                                                   : EShareKind::Picture,
                             pictures);
    };
    const auto clipboard = [](const QString& text) { QGuiApplication::clipboard()->setText(text); };
    uploads = new BL::App::CUploadPipeline(clipboard, notifier, this);
}

QString CBrightloomMainWidget::withKept(const QString& error, const QList<QPixmap>& unsent)
{
    // The grabbed picture exists nowhere else: it is kept as a local shot, named in the balloon
    // and offered again under "Recent shares".
    const QStringList kept = shares->keepFailed(unsent, prefs.localStorageDir);
    QString text = error;
    for (const QString& name : kept)
        text += tr("\nScreenshot saved as %1").arg(QDir::toNativeSeparators(name));
    return text;
}

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
    trayMenu->lockUntilFinished(dialog);
    connect(dialog, &QFileDialog::finished, dialog, &QObject::deleteLater);
    dialog->show();
}

void CBrightloomMainWidget::onFileToUploadSelected(const QString& file)
{
    if (!file.isEmpty())
        startUploadingSnapshot(QPixmap(file));
}

void CBrightloomMainWidget::startUploadingSnapshot(const QPixmap& pm)
{
    tray->stopUploadedAnimation();
    if (!pm.isNull() && uploadToChosenHost({pm}))
        return;
    uploads->uploadPicture(pm);
}

void CBrightloomMainWidget::onComparisonShotFinished(const QPixmap& firstShot, const QPixmap& secondShot)
{
    tray->stopUploadedAnimation();
    if (!firstShot.isNull() && !secondShot.isNull() && uploadToChosenHost({firstShot, secondShot}))
        return;
    uploads->uploadPair(firstShot, secondShot);
}

void CBrightloomMainWidget::startUploadingImageFromUrl(const QUrl& url)
{
    uploads->uploadUrl(url);
}

void CBrightloomMainWidget::startUploadingImageFile(const QString& fileName)
{
    if (fileName.isEmpty())
        return;
    // Only a regular file is opened: reading a pipe or a device could block the program.
    const QPixmap picture = QFileInfo(fileName).isFile() ? QPixmap(fileName) : QPixmap();
    if (picture.isNull()) {
        // Sent from a file manager: say which file did not go instead of dropping it.
        tray->showBalloon(tr("%1 could not be uploaded: it is not a picture Brightloom can read.")
                              .arg(QDir::toNativeSeparators(fileName)),
                          QSystemTrayIcon::Critical, 5000);
        return;
    }
    startUploadingSnapshot(picture);
}

void CBrightloomMainWidget::onUrlCodeReserved(const QString&, const QString&)
{
    // The link is on the clipboard; the upload itself goes on in the pipeline.
    qCDebug(lcPerf) << "perf clipboard" << BL::App::monotonicMicroseconds();
}

void CBrightloomMainWidget::onPictureUploaded(const QString&)
{
    // The service answers again: a remembered login waiting for it need not wait longer.
    session->retryNow();
    announceUploaded();
}

void CBrightloomMainWidget::announceUploaded()
{
    idleRelease->restart();
    if (lagProbe) {
        lagProbe->stop();
        qCDebug(lcPerf) << "perf uploaded" << BL::App::monotonicMicroseconds() << "max-block"
                        << lagProbe->maxBlockMicroseconds() << "ending" << lagProbe->maxBlockEnd();
    }
    tray->markDone();
    if (!prefs.pasteHelpShown)
        showPasteHelp();
    playUploadedSound();
    tray->showBalloon(
        tr("Screenshot succesfully uploaded.\nPress %1 to paste the link").arg(QStringLiteral("Ctrl+V")),
        QSystemTrayIcon::Information, 5000);
}

void CBrightloomMainWidget::onUploadingFailed(const QString& errorDesc)
{
    idleRelease->restart();
    if (lagProbe)
        lagProbe->stop();
    tray->markFailed(errorDesc, 5000);
}

void CBrightloomMainWidget::savePixmapToLocalStorage(const QPixmap& pm)
{
    if (pm.isNull())
        return;
    // The overlay leaves the screen as soon as this returns; encoding and writing follow on a worker.
    if (!localShots) {
        localShots = new BL::App::CLocalShotWriter(this);
        connect(localShots, &BL::App::CLocalShotWriter::written, this,
                &CBrightloomMainWidget::onLocalShotWritten);
    }
    localShots->write(pm, prefs.localStorageDir, QDateTime::currentDateTime());
}

void CBrightloomMainWidget::onLocalShotWritten(const BL::App::SLocalShotResult& result)
{
    idleRelease->restart();
    if (lagProbe) {
        lagProbe->stop();
        qCDebug(lcPerf) << "perf saved" << BL::App::monotonicMicroseconds() << "max-block"
                        << lagProbe->maxBlockMicroseconds() << "ending" << lagProbe->maxBlockEnd();
    }
    if (result.saved) {
        tray->showBalloon(tr("Screenshot saved as %1").arg(QDir::toNativeSeparators(result.fileName)),
                          QSystemTrayIcon::Information, 5000);
        return;
    }
    qCWarning(lcApp) << "could not save a local shot as" << result.fileName << result.error;
    tray->markFailed(tr("Some error occured while saving the screenshot"), 3000);
}

void CBrightloomMainWidget::createTextShot()
{
    textShot = new BL::App::CTextShot(
        [](const QString& text) { QGuiApplication::clipboard()->setText(text); }, this);
    textShot->attachMenu(trayMenu->textShotAction(), trayMenu->textLanguagesMenu());
    connect(trayMenu->textShotAction(), &QAction::triggered, this,
            &CBrightloomMainWidget::onGlobalTextShotShortcutActivated);
    connect(textShot, &BL::App::CTextShot::balloon, this,
            [this](const QString& text, QSystemTrayIcon::MessageIcon icon) {
                tray->showBalloon(text, icon, 5000);
            });
    connect(textShot, &BL::App::CTextShot::languagesChosen, this, [this](const QStringList& languages) {
        prefs.textLanguages = languages;
        writeSettings();
    });
    connect(textShot, &BL::App::CTextShot::finished, this, [this] {
        idleRelease->restart();
        if (lagProbe) {
            lagProbe->stop();
            qCDebug(lcPerf) << "perf text" << BL::App::monotonicMicroseconds() << "max-block"
                            << lagProbe->maxBlockMicroseconds() << "ending" << lagProbe->maxBlockEnd();
        }
    });
}

void CBrightloomMainWidget::copyTextFromArea(const QPixmap& area)
{
    textShot->read(area);
}

void CBrightloomMainWidget::onUploadImageFromUrl()
{
    CUrlInputDialog dialog;
    const auto unlock = trayMenu->lock();
    if (dialog.exec() == QDialog::Accepted)
        startUploadingImageFromUrl(dialog.url());
}

void CBrightloomMainWidget::onLocalDirActionTriggered()
{
    CChooseLocalDirDialog dialog(prefs.localStorageDir);
    const auto unlock = trayMenu->lock();
    if (dialog.exec() == QDialog::Accepted)
        prefs.localStorageDir = dialog.selectedDirectory();
}

// ---------------------------------------------------------------- sign-in

void CBrightloomMainWidget::createUserSession()
{
    BL::App::SSignInNotifier notifier;
    notifier.accepted = [this] { onLoginOk(); };
    notifier.refused = [this](const QString& errorDesc) { onLoginFailed(errorDesc); };
    notifier.unreachable = [this](const QString&) {
        // No box at an offline start: the remembered user is kept and signed in once the service answers.
        updateUserStatus();
        tray->showBalloon(
            tr("Could not reach the service to sign in as %1.\nYou will be signed in as soon as it "
               "answers.")
                .arg(CUser::instance()->userInfo().userName),
            QSystemTrayIcon::Warning, 5000);
    };
    session = new BL::App::CUserSession(settings, notifier, this);
}

void CBrightloomMainWidget::createLoginDialog()
{
    loginDialog = std::make_unique<CLoginDialog>();
    connect(loginDialog.get(), &CLoginDialog::loginRequested, this, &CBrightloomMainWidget::onLoginRequested);
    connect(loginDialog.get(), &CLoginDialog::registrationRequested, this,
            &CBrightloomMainWidget::showRegistrationPage);
}

void CBrightloomMainWidget::showLoginDialog()
{
    if (CUser::instance()->isSignedIn()) {
        signOut();
        return;
    }
    const auto unlock = trayMenu->lock();
    loginDialog->exec();
}

void CBrightloomMainWidget::onLoginRequested(const QString& name, const QString& passwd, bool rememberMe)
{
    session->signIn(name, passwd, rememberMe);
}

void CBrightloomMainWidget::signWithHash(const QString& hash)
{
    session->signWithHash(hash);
}

void CBrightloomMainWidget::onLoginOk()
{
    session->confirm();
    updateUserStatus();
    if (loginDialog)
        loginDialog->close();
}

void CBrightloomMainWidget::onLoginFailed(const QString& errorDesc)
{
    session->drop();
    qCDebug(lcApp).noquote() << "message box Critical:" << QString(errorDesc).replace('\n', ' ');
    QMessageBox::critical(this, appTitle, errorDesc, QMessageBox::Ok);
}

void CBrightloomMainWidget::signOut()
{
    session->signOut();
    updateUserStatus();
}

void CBrightloomMainWidget::updateUserStatus()
{
    const bool signedIn = CUser::instance()->isSignedIn();
    trayMenu->setSignedIn(signedIn);
    qCDebug(lcApp).noquote() << "user status:" << (signedIn ? "signed in," : "signed out,") << "entry"
                             << trayMenu->action(BL::App::SignInAction)->text()
                             << (signedIn ? "with History" : "without History");
    if (crashReporter)
        crashReporter->setUser(CUser::instance());
    if (signedIn)
        tray->showBalloon(tr("Signed in as %1.").arg(CUser::instance()->userInfo().userName),
                          QSystemTrayIcon::Information, 5000);
}

void CBrightloomMainWidget::showHelp()
{
    const QString hotkey = hotkeys->portableText(BL::App::SingleShotHotkey);
    overlays->showHelp(QStringLiteral(":cam.png"),
                       tr("Welcome to Brightloom!\n\nIn the future, you just have to hit %1\nanytime to "
                          "grab screen. Enjoy selecting!")
                           .arg(hotkey));
    prefs.preHelpShown = true;
    writeSettings();
}

void CBrightloomMainWidget::showPasteHelp()
{
    overlays->showHelp(QStringLiteral(":grab_share_brightloom.png"),
                       tr("Upload completed!\n\nNow just hit %1 to paste the link and collaborate!")
                           .arg(QStringLiteral("Ctrl+V")));
    prefs.pasteHelpShown = true;
    writeSettings();
}

void CBrightloomMainWidget::openWebPage(const QString& url)
{
    if (QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode)))
        return;
    qCDebug(lcApp).noquote() << "message box Warning: no web browser for" << url;
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
