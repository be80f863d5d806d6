#pragma once

#include <QKeySequence>

class CGlobalShortcut;

// The part of the global shortcut that talks to the window system. One file per
// platform implements these; the build picks the file.
namespace BL::Platform::GlobalShortcutBackend {

// Grabs the combination (first key of `sequence`) for `owner`; false when refused.
bool registerShortcut(CGlobalShortcut* owner, const QKeySequence& sequence);
void unregisterShortcut(CGlobalShortcut* owner, const QKeySequence& sequence);

} // namespace BL::Platform::GlobalShortcutBackend
