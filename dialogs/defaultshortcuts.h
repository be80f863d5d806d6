#pragma once

namespace BL::Dialogs {

// The program's default global shortcuts (native and portable text alike), in the row
// order of the options dialog: single shot, comparison shot, drop widget, local shot, text shot.
constexpr const char* kDefaultShortcuts[5] = {"Ctrl+Alt+P", "Ctrl+Alt+M", "Ctrl+Alt+D", "Ctrl+Alt+L",
                                              "Ctrl+Alt+O"};

} // namespace BL::Dialogs
