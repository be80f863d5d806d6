#pragma once

namespace BL::Platform {

// Lets the calling thread yield the processor to the interactive work of the program and of
// the desktop (the overlay, the clipboard, the window system) while it compresses a picture.
// It cannot be undone by an ordinary user: call it only on threads that do nothing else.
void lowerCurrentThreadPriority();

} // namespace BL::Platform
