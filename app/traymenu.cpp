#include "app/traymenu.h"

#include "app/destinationmenu.h"
#include "app/logging.h"
#include "app/sharehistory.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QLocale>
#include <QPixmap>
#include <QPointer>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <QtMath>
#include <algorithm>

namespace BL::App {

namespace {

// What "Expire new shares" offers, in seconds.
struct SExpiryChoice
{
    const char* text;
    int seconds;
};
const SExpiryChoice kExpiryChoices[] = {{QT_TRANSLATE_NOOP("BL::App::CTrayMenu", "&Never"), 0},
                                        {QT_TRANSLATE_NOOP("BL::App::CTrayMenu", "1 &hour"), 3600},
                                        {QT_TRANSLATE_NOOP("BL::App::CTrayMenu", "1 &day"), 86400},
                                        {QT_TRANSLATE_NOOP("BL::App::CTrayMenu", "1 &week"), 7 * 86400},
                                        {QT_TRANSLATE_NOOP("BL::App::CTrayMenu", "1 &month"), 30 * 86400}};

QString shareTitle(const SShareRecord& record)
{
    const QString when = record.time.date() == QDate::currentDate()
                             ? QLocale().toString(record.time.time(), QLocale::ShortFormat)
                             : QLocale().toString(record.time, QLocale::ShortFormat);
    if (record.state == EShareState::UploadFailed)
        return CTrayMenu::tr("%1 (upload failed)").arg(when);
    switch (record.kind) {
    case EShareKind::Comparison:
        return CTrayMenu::tr("%1 comparison").arg(when);
    case EShareKind::Url:
        return CTrayMenu::tr("%1 from a web address").arg(when);
    case EShareKind::Picture:
        break;
    }
    return CTrayMenu::tr("%1 screenshot").arg(when);
}

} // namespace

CTrayMenu::CTrayMenu(QWidget* parent) : QMenu(parent)
{
    setObjectName(QStringLiteral("trayMenu"));
    const QString texts[TrayActionCount] = {tr("&Upload file..."),
                                            tr("Upload image from U&RL..."),
                                            tr("&History"),
                                            tr("&Sign in..."),
                                            tr("&Keyboard shortcuts..."),
                                            tr("Choose s&torage dir..."),
                                            tr("Mute &sound"),
                                            tr("Check for &Updates"),
                                            tr("&About") + QStringLiteral(" Brightloom"),
                                            tr("&Quit")};
    for (int i = 0; i < TrayActionCount; ++i)
        m_actions[i] = new QAction(texts[i], this);
    m_actions[MuteSoundAction]->setCheckable(true);
    connect(m_actions[QuitAction], &QAction::triggered, qApp, &QCoreApplication::quit);

    m_recent = new QMenu(tr("R&ecent shares"), this);
    m_recent->setObjectName(QStringLiteral("recentSharesMenu"));
    // Built as the tray menu opens, so that the submenu is complete before it can be entered.
    connect(this, &QMenu::aboutToShow, this, &CTrayMenu::buildRecentShares);
    // A panel that shows the menu itself (StatusNotifier) may never say it opens it: the entries
    // are built anyway once the list has been quiet for a moment, after the shot.
    m_recentQuiet = new QTimer(this);
    m_recentQuiet->setSingleShot(true);
    m_recentQuiet->setInterval(kRecentQuietMs);
    connect(m_recentQuiet, &QTimer::timeout, this, &CTrayMenu::buildRecentShares);
    m_expiry = new QMenu(tr("Ex&pire new shares"), this);
    m_expiry->setObjectName(QStringLiteral("expiryMenu"));
    m_expiryGroup = new QActionGroup(this);
    m_expiryGroup->setExclusive(true);
    for (const SExpiryChoice& choice : kExpiryChoices) {
        QAction* action = m_expiry->addAction(tr(choice.text));
        action->setCheckable(true);
        action->setData(choice.seconds);
        m_expiryGroup->addAction(action);
        connect(action, &QAction::triggered, this,
                [this, seconds = choice.seconds] { emit expiryChosen(seconds); });
    }
    setExpiry(0);
    setRecentShares({}, {});
    m_destinations = new CDestinationMenu(this);

    // A separator after each of these; the shares' group sits after the sound.
    for (int i = 0; i < TrayActionCount; ++i) {
        addAction(m_actions[i]);
        if (i == UploadUrlAction || i == SignInAction || i == MuteSoundAction || i == AboutAction)
            addSeparator();
        if (i == MuteSoundAction) {
            addMenu(m_destinations);
            addMenu(m_recent);
            addMenu(m_expiry);
            addSeparator();
        }
    }
    m_actions[HistoryAction]->setVisible(false);
    // The text shot's group, after the sound's.
    m_textShot = new QAction(tr("Copy te&xt from area"), this);
    m_textLanguages = new QMenu(tr("Text languages"), this);
    m_textLanguages->setObjectName(QStringLiteral("textLanguagesMenu"));
    insertAction(m_actions[CheckUpdatesAction], m_textShot);
    insertMenu(m_actions[CheckUpdatesAction], m_textLanguages);
    insertSeparator(m_actions[CheckUpdatesAction]);
    // A greyed-out entry says why.
    setToolTipsVisible(true);
    // Tests walk the menu with keys, which are lost when sent before it shows.
    connect(
        this, &QMenu::aboutToShow, this,
        [this] {
            qCDebug(lcApp) << "tray menu shown";
            QTimer::singleShot(
                0, this, [this] { announceKeyboard(0); });
        });
    connect(this, &QMenu::aboutToHide, this, [] { qCDebug(lcApp) << "tray menu hidden"; });
}

void CTrayMenu::announceKeyboard(int attempt)
{
    // A menu shown by the panel (StatusNotifier) has no window of ours.
    if (!isVisible() || !windowHandle())
        return;
    // The popup's own grab fails while its window is not yet viewable, and Qt does not ask
    // again: keys would go to whichever window had them. Asking again is harmless once it holds.
    if (windowHandle()->setKeyboardGrabEnabled(true)) {
        qCDebug(lcApp) << "tray menu has the keyboard";
        return;
    }
    // Where the window system has no grabs (Wayland), the compositor routes the keys itself.
    if (attempt + 1 < kKeyboardAttempts)
        QTimer::singleShot(kKeyboardRetryMs, this, [this, attempt] { announceKeyboard(attempt + 1); });
}

void CTrayMenu::setRecentShares(const QList<SShareRecord>& entries,
                                const std::function<QString(const SShareRecord&)>& thumbnailPath)
{
    m_recentEntries = entries.mid(0, recentSharesShown);
    m_recentThumbnails.clear();
    for (const SShareRecord& record : qAsConst(m_recentEntries))
        m_recentThumbnails << (thumbnailPath ? thumbnailPath(record) : QString());
    m_recent->setEnabled(!m_recentEntries.isEmpty());
    m_recentStale = true;
    m_recentQuiet->start();
    // An open menu shows the change at once.
    if (isVisible())
        buildRecentShares();
}

QMenu* CTrayMenu::recentEntryMenu(int index)
{
    if (index < m_recentEntryMenus.size())
        return m_recentEntryMenus.at(index);
    // Made once and filled again at each rebuild, rather than every entry's menu, actions and
    // connections made anew after each share and the old ones deleted.
    QMenu* entry = m_recent->addMenu(QString());
    // Retry first: a failed upload's entry shows it alone.
    const auto keyOf = [entry] { return entry->menuAction()->data().toString(); };
    connect(
        entry->addAction(tr("&Retry upload")), &QAction::triggered, this,
        [this, keyOf] { emit retryShareRequested(keyOf()); });
    connect(
        entry->addAction(tr("&Copy link")), &QAction::triggered, this,
        [this, keyOf] { emit copyShareRequested(keyOf()); });
    connect(
        entry->addAction(tr("&Open")), &QAction::triggered, this,
        [this, keyOf] { emit openShareRequested(keyOf()); });
    connect(entry->addAction(tr("&Delete...")), &QAction::triggered, this,
            [this, keyOf] { emit deleteShareRequested(keyOf()); });
    m_recentEntryMenus.push_back(entry);
    return entry;
}

void CTrayMenu::buildRecentShares()
{
    m_recentQuiet->stop();
    if (!m_recentStale)
        return;
    m_recentStale = false;
    QHash<QString, QIcon> icons;
    for (int i = 0; i < m_recentEntries.size(); ++i) {
        const SShareRecord& record = m_recentEntries.at(i);
        QMenu* entry = recentEntryMenu(i);
        entry->setTitle(shareTitle(record));
        entry->menuAction()->setData(record.key());
        entry->menuAction()->setVisible(true);
        // Retry alone for a failed upload; the link's entries otherwise.
        const bool failed = record.state == EShareState::UploadFailed;
        const QList<QAction*> actions = entry->actions();
        for (int a = 0; a < actions.size(); ++a)
            actions.at(a)->setVisible((a == 0) == failed);
        entry->setDefaultAction(failed ? nullptr : actions.value(1));
        QIcon icon;
        if (!failed && !m_recentThumbnails.at(i).isEmpty()) {
            const QFileInfo file(m_recentThumbnails.at(i));
            const QString iconKey = file.filePath() + QLatin1Char('\n') +
                                    QString::number(file.lastModified().toMSecsSinceEpoch()) +
                                    QLatin1Char('\n') + QString::number(file.size());
            icon = m_thumbnailIcons.value(iconKey);
            if (icon.isNull())
                icon = thumbnailIcon(file.filePath());
            icons.insert(iconKey, icon);
        }
        entry->setIcon(icon);
    }
    for (int i = m_recentEntries.size(); i < m_recentEntryMenus.size(); ++i)
        m_recentEntryMenus.at(i)->menuAction()->setVisible(false);
    m_thumbnailIcons = icons;
}

QIcon CTrayMenu::thumbnailIcon(const QString& path) const
{
    // Read as an image: QPixmap's own loading keeps a key per file in the pixmap cache. Kept at
    // the size the menu draws it: ten thumbnails at full size held some 120 KB.
    QImage image(path, "PNG");
    const int side =
        qCeil(style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this) * devicePixelRatioF());
    if (image.width() > side || image.height() > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return QIcon(QPixmap::fromImage(std::move(image)));
}

void CTrayMenu::setExpiry(int seconds)
{
    const QList<QAction*> choices = m_expiryGroup->actions();
    QAction* chosen = choices.first();
    for (QAction* action : choices)
        if (action->data().toInt() == seconds)
            chosen = action;
    chosen->setChecked(true);
}

void CTrayMenu::setMuted(bool muted)
{
    m_actions[MuteSoundAction]->setChecked(muted);
}

void CTrayMenu::setSoundAvailable(bool available)
{
    m_actions[MuteSoundAction]->setEnabled(available);
}

void CTrayMenu::setSignedIn(bool signedIn)
{
    m_actions[HistoryAction]->setVisible(signedIn);
    m_actions[SignInAction]->setText(signedIn ? QStringLiteral("Sign out") : QStringLiteral("Sign in\u2026"));
}

QScopeGuard<std::function<void()>> CTrayMenu::lock()
{
    setEnabled(false);
    QPointer<CTrayMenu> menu = this;
    return QScopeGuard<std::function<void()>>(std::function<void()>([menu] {
        if (menu)
            menu->setEnabled(true);
    }));
}

void CTrayMenu::lockUntilFinished(QDialog* dialog)
{
    connect(dialog, &QDialog::finished, this, [this] { setEnabled(true); });
    setEnabled(false);
}

} // namespace BL::App
