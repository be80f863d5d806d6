#pragma once

#include "app/sharehistory.h"

#include <QHash>
#include <QIcon>
#include <QMenu>
#include <QScopeGuard>
#include <QVector>
#include <array>
#include <functional>

class QActionGroup;
class QTimer;
class QDialog;

namespace BL::App {

class CDestinationMenu;

// The tray menu's entries that act, in menu order.
enum ETrayAction : int {
    UploadFileAction,
    UploadUrlAction,
    HistoryAction,
    SignInAction,
    ShortcutsAction,
    StorageDirAction,
    MuteSoundAction,
    CheckUpdatesAction,
    AboutAction,
    QuitAction,
    TrayActionCount
};

// The tray icon's context menu: its entries and separators in order, which of them show, and
// the lock that keeps it from opening a second dialog while one of its dialogs runs. What an
// entry does is the owner's: it connects to action(). Quit needs nobody and quits.
class CTrayMenu : public QMenu
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTrayMenu)

public:
    explicit CTrayMenu(QWidget* parent);

    QAction* action(ETrayAction which) const { return m_actions[which]; }
    // "Copy text from area" and its languages, kept out of ETrayAction so that the entries above
    // and below keep their places.
    QAction* textShotAction() const { return m_textShot; }
    QMenu* textLanguagesMenu() const { return m_textLanguages; }

    // Sound switched off shows as "muted"; without an audio output the entry is greyed out.
    void setMuted(bool muted);
    void setSoundAvailable(bool available);
    // History only for a signed-in user, whose entry signs out instead of in.
    void setSignedIn(bool signedIn);

    // "Recent shares": the first ten of `entries` (newest first), each with its thumbnail
    // (`thumbnailPath` gives the file, empty for none) and its time. The submenu is built when the
    // menu opens, not on every change: the list changes several times a shot, often while the next
    // shot is being taken.
    void setRecentShares(const QList<SShareRecord>& entries,
                         const std::function<QString(const SShareRecord&)>& thumbnailPath);
    QMenu* recentSharesMenu() const { return m_recent; }
    // "Upload to": where uploads go, and the import of another destination.
    CDestinationMenu* destinationMenu() const { return m_destinations; }
    // "Expire new shares": the entry of `seconds` checked (Never for 0 or an unknown value).
    void setExpiry(int seconds);
    static constexpr int recentSharesShown = 10;

    // Disables the menu while a dialog of it runs; enabled again when the guard goes.
    [[nodiscard]] QScopeGuard<std::function<void()>> lock();
    // The same for a dialog without a loop of its own: enabled again once it finishes.
    void lockUntilFinished(QDialog* dialog);

signals:
    // Entries of "Recent shares", named by SShareRecord::key().
    void copyShareRequested(const QString& key);
    void openShareRequested(const QString& key);
    void deleteShareRequested(const QString& key);
    void retryShareRequested(const QString& key);
    void expiryChosen(int seconds);

private:
    QIcon thumbnailIcon(const QString& path) const;
    void buildRecentShares();
    // The submenu of the `index`th entry of "Recent shares", made on first use.
    QMenu* recentEntryMenu(int index);
    void announceKeyboard(int attempt);

    std::array<QAction*, TrayActionCount> m_actions{};
    QMenu* m_recent = nullptr;
    QVector<QMenu*> m_recentEntryMenus;
    // What "Recent shares" shows once it is built again, and the thumbnails' files.
    QList<SShareRecord> m_recentEntries;
    QStringList m_recentThumbnails;
    // The icons of the entries shown, by thumbnail file and its date and size. An icon made anew
    // at each rebuild leaves a new key in Qt's pixmap cache at each painting, which the cache's
    // clear() does not take back; a kept icon paints under the same key.
    QHash<QString, QIcon> m_thumbnailIcons;
    bool m_recentStale = false;
    QTimer* m_recentQuiet = nullptr;
    static constexpr int kRecentQuietMs = 2000;
    static constexpr int kKeyboardAttempts = 20;
    static constexpr int kKeyboardRetryMs = 25;
    CDestinationMenu* m_destinations = nullptr;
    QMenu* m_expiry = nullptr;
    QActionGroup* m_expiryGroup = nullptr;
    QAction* m_textShot = nullptr;
    QMenu* m_textLanguages = nullptr;
};

} // namespace BL::App
