#include "app/hotkeytable.h"

#include "platform/globalshortcut.h"

#include <QKeySequence>

namespace BL::App {

const std::array<SHotkeyEntry, HotkeyCount>& hotkeyEntries()
{
    static const std::array<SHotkeyEntry, HotkeyCount> entries = {{
        {SingleShotHotkey, "single_shot_shortcut", "Ctrl+Alt+P"},
        {ComparisonShotHotkey, "comparison_shot_shortcut", "Ctrl+Alt+M"},
        {DropWidgetHotkey, "drop_widget_shortcut", "Ctrl+Alt+D"},
        {LocalShotHotkey, "local_shot_shortcut", "Ctrl+Alt+L"},
    }};
    return entries;
}

CHotkeyTable::CHotkeyTable(QObject* parent) : QObject(parent)
{
    for (const SHotkeyEntry& entry : hotkeyEntries()) {
        const QKeySequence sequence(QString::fromLatin1(entry.defaultSequence), QKeySequence::NativeText);
        m_shortcuts[entry.index] = new CGlobalShortcut(sequence, this);
        m_shortcuts[entry.index]->setEnabled(false);
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
        if (sender() == m_shortcuts[i])
            emit activated(EHotkey(i));
}

} // namespace BL::App
