#pragma once

namespace BL::Platform {

// Whether a notification area of either kind is there right now: an XEmbed tray on X11, or a
// StatusNotifier watcher with a host on the session bus. It asks the window system and the bus
// themselves each time, so it can be asked again while a session is still starting (Qt keeps
// its first answer about the D-Bus tray for the rest of the run).
bool trayHostPresent();

} // namespace BL::Platform
