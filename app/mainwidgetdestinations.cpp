// The main widget's slots for where uploads go: the Brightloom service or an imported host.
#include "app/brightloommainwidget.h"
#include "app/commandline.h"
#include "app/destinationmenu.h"
#include "app/hostuploads.h"
#include "app/logging.h"
#include "app/recentshares.h"
#include "app/traymenu.h"
#include "app/traypresenter.h"
#include "app/uploaddestinations.h"

#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QUrl>

void CBrightloomMainWidget::createDestinations()
{
    destinations =
        std::make_unique<BL::App::CUploadDestinations>(BL::App::CUploadDestinations::defaultDirectory());
    BL::App::CDestinationMenu* menu = trayMenu->destinationMenu();
    connect(menu, &BL::App::CDestinationMenu::destinationChosen, this,
            &CBrightloomMainWidget::chooseDestination);
    connect(menu, &BL::App::CDestinationMenu::importRequested, this,
            &CBrightloomMainWidget::showImportUploaderDialog);
    connect(instanceCommands, &BL::App::CInstanceCommands::uploaderToImport, this,
            &CBrightloomMainWidget::importUploader);
    // A chosen file that went away leaves the service in force.
    if (!destinations->names().contains(prefs.uploadDestination))
        prefs.uploadDestination.clear();
    refreshDestinations();
}

void CBrightloomMainWidget::refreshDestinations()
{
    trayMenu->destinationMenu()->setDestinations(destinations->names(), prefs.uploadDestination);
}

void CBrightloomMainWidget::chooseDestination(const QString& name)
{
    prefs.uploadDestination = destinations->names().contains(name) ? name : QString();
    writeSettings();
    refreshDestinations();
    const QString warning = clearTextWarning();
    if (!warning.isEmpty())
        tray->showBalloon(warning, QSystemTrayIcon::Warning, 8000);
}

QString CBrightloomMainWidget::clearTextWarning()
{
    const QString name = prefs.uploadDestination;
    if (name.isEmpty() || prefs.clearTextWarned.contains(name))
        return QString();
    const auto uploader = destinations->uploader(name);
    if (!uploader || !uploader->requestUrl.startsWith(QLatin1String("http:"), Qt::CaseInsensitive))
        return QString();
    prefs.clearTextWarned << name;
    writeSettings();
    return tr("%1 is reached over plain http: its token and your pictures travel unencrypted.").arg(name);
}

void CBrightloomMainWidget::showImportUploaderDialog()
{
    auto* dialog = new QFileDialog(nullptr, tr("Import uploader"), QDir::homePath(),
                                   tr("Custom uploaders (*.sxcu *.json);;All files (*)"));
    dialog->setObjectName(QStringLiteral("importUploaderDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setModal(true);
    connect(dialog, &QFileDialog::fileSelected, this, &CBrightloomMainWidget::importUploader);
    trayMenu->lockUntilFinished(dialog);
    connect(dialog, &QFileDialog::finished, dialog, &QObject::deleteLater);
    dialog->show();
}

void CBrightloomMainWidget::importUploader(const QString& fileName)
{
    if (fileName.isEmpty())
        return;
    QString error;
    const QString name = destinations->import(fileName, &error);
    if (name.isEmpty()) {
        tray->showBalloon(tr("The uploader was not imported: %1").arg(error), QSystemTrayIcon::Critical,
                          8000);
        return;
    }
    prefs.uploadDestination = name;
    writeSettings();
    refreshDestinations();
    // One balloon: a second one at once would hide the first.
    const QString warning = clearTextWarning();
    tray->showBalloon(tr("Uploads now go to %1.").arg(name) +
                          (warning.isEmpty() ? QString() : "\n" + warning),
                      warning.isEmpty() ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning, 8000);
}

void CBrightloomMainWidget::createHostUploads()
{
    BL::App::SHostUploadNotifier notifier;
    notifier.started = [this] { tray->beginBusy(); };
    notifier.uploaded = [this](const QString&) { announceUploaded(); };
    notifier.failed = [this](const QString& error, const QList<QPixmap>& unsent) {
        onUploadingFailed(withKept(error, unsent));
    };
    notifier.shared = [this](const QString& host, const BL::Api::SCustomUploadResult& result, bool comparison,
                             const QPixmap& picture) {
        shares->recordHosted(host, result.url, result.thumbnailUrl, result.deletionUrl,
                             comparison ? BL::App::EShareKind::Comparison : BL::App::EShareKind::Picture,
                             picture);
    };
    const auto clipboard = [](const QString& text) { QGuiApplication::clipboard()->setText(text); };
    hostUploads = new BL::App::CHostUploads(clipboard, notifier, this);
}

bool CBrightloomMainWidget::uploadToChosenHost(const QList<QPixmap>& pictures)
{
    if (prefs.uploadDestination.isEmpty())
        return false;
    QString error;
    const auto host = destinations->uploader(prefs.uploadDestination, &error);
    if (!host) {
        // Never the service instead: the person chose where the picture goes.
        onUploadingFailed(
            withKept(tr("%1 cannot be used: %2").arg(prefs.uploadDestination, error), pictures));
        return true;
    }
    hostUploads->uploadPictures(*host, pictures);
    return true;
}
