#include "app/hotkeytable.h"

#include "app/logging.h"
#include "app/perfprobe.h"
#include "dialogs/defaultshortcuts.h"
#include "platform/globalshortcut.h"

#include <QCoreApplication>
#include <QKeySequence>

namespace BL::App {

const std::array<SHotkeyEntry, HotkeyCount>& hotkeyEntries()
{
    static const std::array<SHotkeyEntry, HotkeyCount> entries = {{
        {SingleShotHotkey, "single_shot_shortcut", BL::Dialogs::kDefaultShortcuts[0],
         QT_TRANSLATE_NOOP("BL::App::CHotkeyTable", "single shot")},
        {ComparisonShotHotkey, "comparison_shot_shortcut", BL::Dialogs::kDefaultShortcuts[1],
         QT_TRANSLATE_NOOP("BL::App::CHotkeyTable", "comparison shot")},
        {DropWidgetHotkey, "drop_widget_shortcut", BL::Dialogs::kDefaultShortcuts[2],
         QT_TRANSLATE_NOOP("BL::App::CHotkeyTable", "drop widget")},
        {LocalShotHotkey, "local_shot_shortcut", BL::Dialogs::kDefaultShortcuts[3],
         QT_TRANSLATE_NOOP("BL::App::CHotkeyTable", "local shot")},
        {TextShotHotkey, "text_shot_shortcut", BL::Dialogs::kDefaultShortcuts[4],
         QT_TRANSLATE_NOOP("BL::App::CHotkeyTable", "text shot")},
    }};
    return entries;
}

CHotkeyTable::CHotkeyTable(QObject* parent) : QObject(parent)
{
    for (const SHotkeyEntry& entry : hotkeyEntries()) {
        const QKeySequence sequence(QString::fromLatin1(entry.defaultSequence), QKeySequence::NativeText);
        m_shortcuts[entry.index] = new CGlobalShortcut(sequence, this);
        m_shortcuts[entry.index]->setEnabled(false);
        // How a desktop that binds the keys for us lists them, and remembers the person's choice.
        m_shortcuts[entry.index]->setObjectName(QString::fromLatin1(entry.settingsKey));
        m_shortcuts[entry.index]->setDescription(tr(entry.actionName));
    }
}

QString CHotkeyTable::portableText(EHotkey hotkey) const
{
    return m_shortcuts[hotkey]->shortcut().toString(QKeySequence::PortableText);
}

std::array<QString, HotkeyCount> CHotkeyTable::portableTexts() const
{
    std::array<QString, HotkeyCount> texts;
    for (int i = 0; i < HotkeyCount; ++i)
        texts[i] = portableText(EHotkey(i));
    return texts;
}

void CHotkeyTable::applyStored(EHotkey hotkey, const QString& text)
{
    if (!text.isEmpty())
        m_shortcuts[hotkey]->setShortcut(QKeySequence(text, QKeySequence::NativeText));
}

void CHotkeyTable::applyEdited(const std::array<QString, HotkeyCount>& texts)
{
    std::array<QKeySequence, HotkeyCount> wanted;
    for (int i = 0; i < HotkeyCount; ++i)
        wanted[i] = QKeySequence(texts[i], QKeySequence::NativeText);
    // Let go of every combination that changes first: in a swap, each hotkey asks for the
    // combination its partner still holds, which a platform may refuse to give twice.
    for (int i = 0; i < HotkeyCount; ++i)
        if (m_shortcuts[i]->shortcut() != wanted[i])
            m_shortcuts[i]->setShortcut(QKeySequence());
    for (int i = 0; i < HotkeyCount; ++i)
        m_shortcuts[i]->setShortcut(wanted[i]);
}

QString CHotkeyTable::unusableHotkeysMessage() const
{
    QStringList lines;
    for (const SHotkeyEntry& entry : hotkeyEntries()) {
        const CGlobalShortcut* shortcut = m_shortcuts[entry.index];
        const QString action = tr(entry.actionName);
        const QString combination = shortcut->shortcut().toString(QKeySequence::NativeText);
        switch (shortcut->registration()) {
        case CGlobalShortcut::HeldElsewhere:
            lines << tr("%1 (%2) is held by another program and does nothing here. Choose another "
                        "combination in \"Keyboard shortcuts...\".")
                         .arg(combination, action);
            break;
        case CGlobalShortcut::NoSuchKey:
            lines << tr("%1 (%2) cannot be pressed on this keyboard. Choose another combination in "
                        "\"Keyboard shortcuts...\".")
                         .arg(combination.isEmpty() ? tr("The combination") : combination, action);
            break;
        case CGlobalShortcut::NotRegistered:
        case CGlobalShortcut::Registered:
        case CGlobalShortcut::Unsupported:
            break;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

void CHotkeyTable::enable()
{
    for (CGlobalShortcut* shortcut : m_shortcuts) {
        // Unique: attaching twice would run every action twice per press.
        connect(shortcut, &CGlobalShortcut::activated, this, &CHotkeyTable::onShortcutActivated,
                Qt::UniqueConnection);
        shortcut->setEnabled(true);
    }
}

void CHotkeyTable::disable()
{
    for (CGlobalShortcut* shortcut : m_shortcuts) {
        disconnect(shortcut, &CGlobalShortcut::activated, this, &CHotkeyTable::onShortcutActivated);
        shortcut->setEnabled(false);
    }
}

void CHotkeyTable::onShortcutActivated()
{
    for (int i = 0; i < HotkeyCount; ++i)
        if (sender() == m_shortcuts[i]) {
            qCDebug(lcPerf) << "perf hotkey" << monotonicMicroseconds();
            qCDebug(lcApp) << "hotkey" << hotkeyEntries()[i].actionName << "activated";
            emit activated(EHotkey(i));
        }
}

} // namespace BL::App
