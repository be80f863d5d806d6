#pragma once

class QWindow;

namespace BL::Platform {

// Qt paints a window in full and sends the frame as soon as the window system reports it mapped.
// The X server also sends exposures for that same mapping, and Qt would send the whole frame a
// second time for them: for a full-screen overlay, a second copy of its largest transfer while it
// opens. Drops those exposures of `window`, and only those; later ones (the window uncovered, its
// contents lost) arrive as before. Nothing to do on other window systems.
void skipExposuresOfMapping(QWindow* window);

} // namespace BL::Platform
