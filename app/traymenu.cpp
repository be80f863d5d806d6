#include "app/traymenu.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QPointer>

namespace BL::App {

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

    // A separator after each of these.
    for (int i = 0; i < TrayActionCount; ++i) {
        addAction(m_actions[i]);
        if (i == UploadUrlAction || i == SignInAction || i == MuteSoundAction || i == AboutAction)
            addSeparator();
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
