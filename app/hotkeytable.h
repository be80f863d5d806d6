#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>
#include <array>

class CGlobalShortcut;

namespace BL::App {

// The global hotkeys, in the order they are created.
enum EHotkey : int {
    SingleShotHotkey,
    ComparisonShotHotkey,
    DropWidgetHotkey,
    LocalShotHotkey,
    TextShotHotkey,
    HotkeyCount
};

struct SHotkeyEntry
{
    EHotkey index;
    const char* settingsKey;
    const char* defaultSequence; // native text, the same in portable form
    const char* actionName;      // what the person reads in a warning, translated in CHotkeyTable
};

// What each hotkey is called in the settings and what it starts as; one row per hotkey.
const std::array<SHotkeyEntry, HotkeyCount>& hotkeyEntries();

// Owns the global shortcuts. They are either all enabled and attached, reporting through
// activated(), or all disabled and detached (while a new combination is being recorded).
class CHotkeyTable : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHotkeyTable)

public:
    // Registers the defaults at once; they stay detached until enable().
    explicit CHotkeyTable(QObject* parent);

    CGlobalShortcut* shortcut(EHotkey hotkey) const { return m_shortcuts[hotkey]; }
    // The current sequence as portable text, the form the settings and dialogs use.
    QString portableText(EHotkey hotkey) const;
    std::array<QString, HotkeyCount> portableTexts() const;
    // A stored sequence (read back as native text) replaces the current one; empty keeps it.
    void applyStored(EHotkey hotkey, const QString& text);
    // The texts of an accepted options dialog (native text), in hotkey order.
    void applyEdited(const std::array<QString, HotkeyCount>& texts);

    // One line for each hotkey that cannot act: its combination is held by another program
    // or no key of this keyboard makes it. Empty when all work, or when this window system
    // has no global hotkeys at all.
    QString unusableHotkeysMessage() const;

    // Safe to call when already enabled: a press never runs its action twice.
    void enable();
    void disable();

signals:
    void activated(BL::App::EHotkey hotkey);

private slots:
    void onShortcutActivated();

private:
    std::array<CGlobalShortcut*, HotkeyCount> m_shortcuts{};
};

} // namespace BL::App

Q_DECLARE_METATYPE(BL::App::EHotkey)
