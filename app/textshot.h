#pragma once

#include <QObject>
#include <QStringList>
#include <QSystemTrayIcon>
#include <functional>

class QAction;
class QMenu;
class QPixmap;

namespace BL::Capture {
class CTextRecognizer;
struct STextResult;
} // namespace BL::Capture

namespace BL::App {

// The text shot: the words of a selected area go on the clipboard as plain text, and a balloon
// says what was copied. No picture is kept or sent. Also keeps the languages read with, and the
// menu entries that show them.
class CTextShot : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTextShot)

public:
    using Clipboard = std::function<void(const QString& text)>;

    CTextShot(Clipboard clipboard, QObject* parent);

    // Some language data is installed: the action can run.
    bool isAvailable() const { return !m_installed.isEmpty(); }
    QStringList installedLanguages() const { return m_installed; }
    QStringList languages() const;
    // The person's choice from the settings; empty (or nothing of it installed) takes English
    // and the languages of the locale.
    void setLanguages(const QStringList& chosen);

    // Greys `action` out with a tooltip naming the package to install when no data is there, and
    // fills `menu` with one checkable entry per installed language.
    void attachMenu(QAction* action, QMenu* menu);

    // Ends in a balloon; without language data, the one that names the package to install.
    void read(const QPixmap& area);

    BL::Capture::CTextRecognizer* recognizer() const { return m_recognizer; }

signals:
    void balloon(const QString& text, QSystemTrayIcon::MessageIcon icon);
    // The person checked or unchecked a language: the new choice, for the settings.
    void languagesChosen(const QStringList& languages);
    // A read is over, whatever came of it.
    void finished();

private:
    void onRecognized(const BL::Capture::STextResult& result);
    void onLanguageToggled();

    Clipboard m_clipboard;
    BL::Capture::CTextRecognizer* m_recognizer = nullptr;
    QStringList m_installed;
    QMenu* m_menu = nullptr;
};

} // namespace BL::App
