#pragma once

namespace BL::Platform {

// Process-wide settings that must be made before the application object
// exists: keep a resident program small and make it hand screen-sized
// buffers back to the system once a shot is done.
void tuneProcessBeforeGui();

// Returns memory freed by the last shot to the system; for idle moments only.
void releaseFreeMemory();

} // namespace BL::Platform
