#pragma once

#include "platform/backends.h"
#include "platform/pointerscreen.h"

#include <memory>
#include <vector>

// How the loader reaches the backends of this build. Each platform file
// defines its factory; CMake compiles the files of the target OS, and the
// windowsystem_<os>.cpp it picks lists what they offer.
namespace BL::Platform {

struct SWindowSystemFactory
{
    // The Qt platform it serves, and the value of BL_PLATFORM_BACKEND that forces it.
    const char* name;
    // Each returns nullptr when the window system cannot be reached.
    std::unique_ptr<CAbstractShortcutBackend> (*createShortcuts)();
    std::unique_ptr<CAbstractScreenGrabber> (*createScreenGrabber)();
    // Only where the screen must be asked for as a whole (Wayland); may be left out.
    std::unique_ptr<CAbstractScreenshotSource> (*createScreenshotSource)() = nullptr;
    // Where the desktop lists its windows; left out, window picking is not offered.
    std::unique_ptr<CAbstractWindowList> (*createWindowList)() = nullptr;
    // Where Qt cannot know the pointer's output; left out, or answering nullptr, Qt's position serves.
    std::unique_ptr<CAbstractPointerOutput> (*createPointerOutput)() = nullptr;
};

std::vector<SWindowSystemFactory> windowSystemFactories();

// Termination works the same under every window system of an OS.
std::unique_ptr<CAbstractTermination> createSystemTermination();

// Always built: the fallback for anything else.
std::unique_ptr<CAbstractShortcutBackend> createNullShortcutBackend();
std::unique_ptr<CAbstractScreenGrabber> createNullScreenGrabber();
std::unique_ptr<CAbstractWindowList> createNullWindowList();

// Wayland, through the desktop portals.
std::unique_ptr<CAbstractShortcutBackend> createWaylandShortcutBackend();
std::unique_ptr<CAbstractScreenshotSource> createPortalScreenshotSource();
// The focused output of sway's seat, over its IPC socket; nullptr outside sway.
std::unique_ptr<CAbstractPointerOutput> createSwayPointerOutput();

// Windows only.
std::unique_ptr<CAbstractShortcutBackend> createWinShortcutBackend();

} // namespace BL::Platform
