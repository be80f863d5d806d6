#include "app/textshot.h"

#include "app/logging.h"
#include "capture/textlanguages.h"
#include "capture/textrecognizer.h"
#include "platform/pointerscreen.h"

#include <QAction>
#include <QLocale>
#include <QMenu>
#include <QPixmap>
#include <QScreen>

namespace BL::App {

namespace {
constexpr int kFirstLineShown = 60; // characters of the first line in the balloon
} // namespace

CTextShot::CTextShot(Clipboard clipboard, QObject* parent)
    : QObject(parent), m_clipboard(std::move(clipboard)), m_recognizer(new BL::Capture::CTextRecognizer(this))
{
    m_installed = BL::Capture::installedTextLanguages(m_recognizer->dataDirectory());
    setLanguages({});
    connect(m_recognizer, &BL::Capture::CTextRecognizer::finished, this, &CTextShot::onRecognized);
}

QStringList CTextShot::languages() const
{
    return m_recognizer->languages();
}

void CTextShot::setLanguages(const QStringList& chosen)
{
    QStringList usable;
    for (const QString& language : chosen)
        if (m_installed.contains(language) && !usable.contains(language))
            usable << language;
    if (usable.isEmpty())
        usable = BL::Capture::defaultTextLanguages(m_installed, QLocale::system().uiLanguages());
    // Installed, but neither English nor the locale's: the first there is beats reading nothing.
    if (usable.isEmpty() && !m_installed.isEmpty())
        usable << m_installed.first();
    m_recognizer->setLanguages(usable);
    if (m_menu)
        for (QAction* entry : m_menu->actions())
            entry->setChecked(usable.contains(entry->data().toString()));
}

void CTextShot::attachMenu(QAction* action, QMenu* menu)
{
    m_menu = menu;
    action->setEnabled(isAvailable());
    if (!isAvailable()) {
        action->setToolTip(tr("No text languages are installed: install the %1 package.")
                               .arg(QLatin1String(BL::Capture::kTextDataPackage)));
        qCInfo(lcApp) << "no text language data in" << m_recognizer->dataDirectory()
                      << "; the text shot is off";
    }
    menu->setEnabled(isAvailable());
    for (const QString& code : m_installed) {
        QAction* entry = menu->addAction(BL::Capture::textLanguageTitle(code));
        entry->setData(code);
        entry->setCheckable(true);
        entry->setChecked(languages().contains(code));
        connect(entry, &QAction::triggered, this, &CTextShot::onLanguageToggled);
    }
}

void CTextShot::onLanguageToggled()
{
    QStringList chosen;
    for (const QAction* entry : m_menu->actions())
        if (entry->isChecked())
            chosen << entry->data().toString();
    // At least one language is always read with: unchecking the last one leaves it checked.
    if (chosen.isEmpty()) {
        setLanguages(languages());
        return;
    }
    setLanguages(chosen);
    emit languagesChosen(chosen);
}

void CTextShot::read(const QPixmap& area)
{
    using EOutcome = BL::Capture::STextResult::EOutcome;
    const auto refuse = [this](EOutcome outcome) {
        BL::Capture::STextResult refused;
        refused.outcome = outcome;
        onRecognized(refused);
    };
    if (!isAvailable()) {
        refuse(EOutcome::NoLanguageData);
        return;
    }
    // Refused before the picture is copied out of the pixmap: that copy alone could be huge.
    if (area.width() > BL::Capture::kMaxTextSide || area.height() > BL::Capture::kMaxTextSide) {
        refuse(EOutcome::TooLarge);
        return;
    }
    if (area.isNull()) {
        emit finished();
        return;
    }
    // The selection ended under the pointer: its screen tells how large the text is drawn.
    const QScreen* screen = BL::Platform::screenUnderPointer();
    const double ratio = std::max(area.devicePixelRatio(), screen ? screen->devicePixelRatio() : 1.0);
    const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    m_recognizer->recognize(area.toImage(), ratio, dpi);
}

void CTextShot::onRecognized(const BL::Capture::STextResult& result)
{
    using EOutcome = BL::Capture::STextResult::EOutcome;
    qCDebug(lcApp) << "text read in" << result.microseconds / 1000 << "ms";
    switch (result.outcome) {
    case EOutcome::Text: {
        m_clipboard(result.text);
        QString first = result.text.section(QLatin1Char('\n'), 0, 0);
        if (first.size() > kFirstLineShown)
            first = first.left(kFirstLineShown - 1) + QChar(0x2026);
        const QString copied =
            result.text.size() == 1
                ? tr("Copied 1 character of text:\n%1").arg(first)
                : tr("Copied %1 characters of text:\n%2").arg(result.text.size()).arg(first);
        emit balloon(copied, QSystemTrayIcon::Information);
        break;
    }
    case EOutcome::Nothing:
        emit balloon(tr("No text was found in the area; the clipboard is unchanged."),
                     QSystemTrayIcon::Warning);
        break;
    case EOutcome::OneColour:
        emit balloon(tr("The area is all one colour: there is no text to copy."), QSystemTrayIcon::Warning);
        break;
    case EOutcome::TooLarge:
        emit balloon(tr("The area is too large to read text from: at most %1 × %1 pixels.")
                         .arg(BL::Capture::kMaxTextSide),
                     QSystemTrayIcon::Warning);
        break;
    case EOutcome::NoLanguageData:
        emit balloon(tr("No text languages are installed: install the %1 package.")
                         .arg(QLatin1String(BL::Capture::kTextDataPackage)),
                     QSystemTrayIcon::Critical);
        break;
    }
    emit finished();
}

} // namespace BL::App
