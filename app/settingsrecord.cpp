#include "app/settingsrecord.h"

#include "app/hotkeytable.h"

#include <QDir>
#include <QSettings>
#include <algorithm>

namespace BL::App {

namespace {
const QString kSoundEnabled = QStringLiteral("sound_enabled");
const QString kPreHelp = QStringLiteral("show_pre_help");
const QString kPasteHelp = QStringLiteral("show_paste_help");
const QString kCommandLineHint = QStringLiteral("command_line_hint_shown");
const QString kStorageDir = QStringLiteral("local_storage_dir");
const QString kDropX = QStringLiteral("drop_widget_pos_x");
const QString kDropY = QStringLiteral("drop_widget_pos_y");
const QString kDropVisible = QStringLiteral("drop_widget_visible");
const QString kShareExpiry = QStringLiteral("share_expiry_seconds");
const QString kTextLanguages = QStringLiteral("text_languages");
const QString kUploadDestination = QStringLiteral("upload_destination");
const QString kClearTextWarned = QStringLiteral("clear_text_warned");
} // namespace

QString defaultStorageDir()
{
    return QDir::homePath() + QStringLiteral("/brightloom_screens");
}

SSettings readSettings(const QSettings& store)
{
    SSettings values;
    for (const SHotkeyEntry& entry : hotkeyEntries())
        values.shortcuts[entry.index] = store.value(QLatin1String(entry.settingsKey), QString()).toString();

    values.soundEnabled = store.value(kSoundEnabled, true).toBool();
    values.preHelpShown = store.value(kPreHelp, false).toBool();
    values.pasteHelpShown = store.value(kPasteHelp, false).toBool();
    values.commandLineHintShown = store.value(kCommandLineHint, false).toBool();

    const QString defaultDir = defaultStorageDir();
    values.localStorageDir = store.value(kStorageDir, defaultDir).toString();
    if (values.localStorageDir == defaultDir && !QDir(defaultDir).exists())
        QDir::home().mkdir(QStringLiteral("brightloom_screens"));

    values.dropWidgetPos = QPoint(store.value(kDropX, 500).toInt(), store.value(kDropY, 500).toInt());
    values.dropWidgetVisible = store.value(kDropVisible, false).toBool();
    values.shareExpirySeconds = std::max(0, store.value(kShareExpiry, 0).toInt());
    values.textLanguages = store.value(kTextLanguages).toStringList();
    values.uploadDestination = store.value(kUploadDestination, QString()).toString();
    values.clearTextWarned = store.value(kClearTextWarned, QStringList()).toStringList();
    return values;
}

void writeSettings(QSettings& store, const SSettings& values)
{
    for (const SHotkeyEntry& entry : hotkeyEntries())
        store.setValue(QLatin1String(entry.settingsKey), values.shortcuts[entry.index]);
    store.setValue(kStorageDir, values.localStorageDir);
    store.setValue(kSoundEnabled, values.soundEnabled);
    store.setValue(kPreHelp, values.preHelpShown);
    store.setValue(kPasteHelp, values.pasteHelpShown);
    // Only once it was shown: the settings of desktops with hotkeys stay as they always were.
    if (values.commandLineHintShown)
        store.setValue(kCommandLineHint, true);
    store.setValue(kDropX, values.dropWidgetPos.x());
    store.setValue(kDropY, values.dropWidgetPos.y());
    store.setValue(kDropVisible, values.dropWidgetVisible);
    store.setValue(kShareExpiry, values.shareExpirySeconds);
    // Only a choice is written: the default follows the locale and what is installed.
    if (values.textLanguages.isEmpty())
        store.remove(kTextLanguages);
    else
        store.setValue(kTextLanguages, values.textLanguages);
    store.setValue(kUploadDestination, values.uploadDestination);
    store.setValue(kClearTextWarned, values.clearTextWarned);
}

} // namespace BL::App
