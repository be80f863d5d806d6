#pragma once

#include "app/hotkeytable.h"

#include <QPoint>
#include <QString>
#include <QStringList>
#include <array>

class QSettings;

namespace BL::App {

// Every preference of the program, as one typed record. Read once at start and written
// together; nothing else in the program touches the settings keys.
struct SSettings
{
    // Stored key sequences (portable text) of the hotkeys, in hotkey table order; an empty
    // text leaves the built-in default in force.
    std::array<QString, HotkeyCount> shortcuts;
    bool soundEnabled = true;
    bool preHelpShown = false;
    bool pasteHelpShown = false;
    bool commandLineHintShown = false; // where the desktop binds no keys for us
    QString localStorageDir;
    QPoint dropWidgetPos{500, 500};
    bool dropWidgetVisible = false;
    // How long new shares are kept by the service, in seconds; 0 for good.
    int shareExpirySeconds = 0;
    // The text shot's languages by data name; empty: English and the locale's.
    QStringList textLanguages;
    // The imported destination uploads go to (see CUploadDestinations); empty for the service.
    QString uploadDestination;
    // Destinations over http whose person was told that their token goes in clear.
    QStringList clearTextWarned;
};

// Home directory + "/brightloom_screens".
QString defaultStorageDir();

// The stored values, with the defaults for what is absent. Creates the default storage
// directory when it is the one in force and missing; a chosen directory is the user's business.
SSettings readSettings(const QSettings& store);

// Writes every key of `values`. Does not sync; the caller decides when.
void writeSettings(QSettings& store, const SSettings& values);

} // namespace BL::App
