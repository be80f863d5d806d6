#pragma once

namespace BL::Platform {

// Process-wide settings that must be made before the application object
// exists: keep a resident program small and make it hand screen-sized
// buffers back to the system once a shot is done.
void tuneProcessBeforeGui();

// Returns memory freed by the last shot to the system; for idle moments only.
void releaseFreeMemory();

// Unmaps the pages of the dynamic linker's tables (symbols, names, relocations) of every loaded
// library; they are read while the program starts and at most now and then later. The page
// cache keeps them, so a later lookup costs a minor fault, no read. Returns the bytes unmapped.
long long releaseLoaderPages();

} // namespace BL::Platform
