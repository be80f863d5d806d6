// The main widget's slots for the recent shares and the expiry of new ones.
#include "app/brightloommainwidget.h"
#include "app/logging.h"
#include "app/recentshares.h"
#include "app/traymenu.h"
#include "app/traypresenter.h"
#include "app/uploadpipeline.h"
#include "diagnostics/paths.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>

void CBrightloomMainWidget::createRecentShares()
{
    shares = new BL::App::CRecentShares(shareHistoryDirectory(), this);
    connect(shares, &BL::App::CRecentShares::notify, this,
            [this](const QString& text, QSystemTrayIcon::MessageIcon icon) {
                tray->showBalloon(text, icon, 5000);
            });
    connect(shares->history(), &BL::App::CShareHistory::changed, this,
            &CBrightloomMainWidget::refreshRecentShares);
    using BL::App::CTrayMenu;
    connect(trayMenu, &CTrayMenu::copyShareRequested, this, &CBrightloomMainWidget::copyShareLink);
    connect(trayMenu, &CTrayMenu::openShareRequested, this, &CBrightloomMainWidget::openShare);
    // Queued: the question runs its own event loop, in which the share list may change (a
    // thumbnail arrives) and the menu be rebuilt; the entry's menu and action must not be on the
    // stack when they go.
    connect(trayMenu, &CTrayMenu::deleteShareRequested, this, &CBrightloomMainWidget::deleteShare,
            Qt::QueuedConnection);
    connect(trayMenu, &CTrayMenu::retryShareRequested, this, &CBrightloomMainWidget::retryUpload);
    connect(trayMenu, &CTrayMenu::expiryChosen, this, &CBrightloomMainWidget::setShareExpiry);
    refreshRecentShares();
}

void CBrightloomMainWidget::refreshRecentShares()
{
    const BL::App::CShareHistory* history = shares->history();
    trayMenu->setRecentShares(history->entries(), [history](const BL::App::SShareRecord& record) {
        return history->thumbnailPath(record);
    });
}

void CBrightloomMainWidget::copyShareLink(const QString& key)
{
    const BL::App::SShareRecord* record = shares->find(key);
    if (!record)
        return;
    QGuiApplication::clipboard()->setText(record->link);
    tray->showBalloon(
        tr("The link is on the clipboard again.\nPress %1 to paste it").arg(QStringLiteral("Ctrl+V")),
        QSystemTrayIcon::Information, 3000);
}

void CBrightloomMainWidget::openShare(const QString& key)
{
    if (const BL::App::SShareRecord* record = shares->find(key))
        openWebPage(record->link);
}

void CBrightloomMainWidget::deleteShare(const QString& key)
{
    const BL::App::SShareRecord* record = shares->find(key);
    if (!record)
        return;
    const QString where = record->host.isEmpty() ? tr("the service") : record->host;
    const auto unlock = trayMenu->lock();
    qCDebug(lcApp).noquote() << "message box Question: delete" << key;
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, appTitle,
                              tr("Delete this share from %1?\n%2\n\nIts link stops working for "
                                 "everyone it was sent to.")
                                  .arg(where, key),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes)
        shares->deleteShare(key);
}

void CBrightloomMainWidget::retryUpload(const QString& key)
{
    const QPixmap picture = shares->retry(key);
    if (!picture.isNull())
        startUploadingSnapshot(picture);
}

void CBrightloomMainWidget::setShareExpiry(int seconds)
{
    prefs.shareExpirySeconds = seconds;
    uploads->setExpiry(seconds);
    writeSettings();
}
