// A pointer for a headless compositor, which has no input devices (and so offers programs no
// pointer at all): a virtual pointer (wlr-virtual-pointer-unstable-v1), driven by lines on stdin
//   move X Y W H   to X,Y of a W x H layout (the compositor's logical coordinates)
//   press | release   the left button
// Each line is answered with "ok" once the compositor has it. Ends at the end of stdin.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <wayland-client.h>

namespace {

// The protocol's two interfaces as libwayland-client describes them; only the requests matter
// here, and their order is the protocol's.
extern const wl_interface kVirtualPointerInterface;

const wl_interface* kCreateTypes[] = {&wl_seat_interface, &kVirtualPointerInterface};
const wl_message kManagerRequests[] = {
    {"create_virtual_pointer", "?on", kCreateTypes},
    {"destroy", "", nullptr},
};
const wl_interface kManagerInterface = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, kManagerRequests, 0, nullptr};

const wl_interface* kNoTypes[] = {nullptr, nullptr, nullptr, nullptr, nullptr};
const wl_message kPointerRequests[] = {
    {"motion", "uff", kNoTypes},   {"motion_absolute", "uuuuu", kNoTypes},
    {"button", "uuu", kNoTypes},   {"axis", "uuf", kNoTypes},
    {"frame", "", nullptr},        {"axis_source", "u", kNoTypes},
    {"axis_stop", "uu", kNoTypes}, {"axis_discrete", "uufi", kNoTypes},
    {"destroy", "", nullptr},
};
const wl_interface kVirtualPointerInterface = {"zwlr_virtual_pointer_v1", 1, 9, kPointerRequests, 0, nullptr};

struct SGlobals
{
    wl_seat* seat = nullptr;
    wl_proxy* manager = nullptr;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* globals = static_cast<SGlobals*>(data);
    if (std::strcmp(interface, "wl_seat") == 0 && !globals->seat)
        globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, kManagerInterface.name) == 0)
        globals->manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kManagerInterface, 1));
}

void onGlobalRemoved(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemoved};

enum EPointerRequest : uint32_t { MotionAbsolute = 1, Button = 2, Frame = 4 };
constexpr uint32_t kLeftButton = 0x110; // BTN_LEFT

uint32_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint32_t(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

} // namespace

int main()
{
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "virtual pointer: no Wayland display\n");
        return 1;
    }
    SGlobals globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    wl_display_roundtrip(display);
    if (!globals.seat || !globals.manager) {
        std::fprintf(stderr, "virtual pointer: the compositor offers no virtual pointers\n");
        return 1;
    }
    wl_proxy* pointer =
        wl_proxy_marshal_constructor(globals.manager, 0, &kVirtualPointerInterface, globals.seat, nullptr);
    if (!pointer || wl_display_roundtrip(display) < 0) {
        std::fprintf(stderr, "virtual pointer: refused\n");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        unsigned x = 0, y = 0, width = 0, height = 0;
        if (std::sscanf(line, "move %u %u %u %u", &x, &y, &width, &height) == 4 && width > 0 && height > 0) {
            wl_proxy_marshal(pointer, MotionAbsolute, nowMs(), x, y, width, height);
        } else if (std::strncmp(line, "press", 5) == 0 || std::strncmp(line, "release", 7) == 0) {
            wl_proxy_marshal(pointer, Button, nowMs(), kLeftButton, line[0] == 'p' ? 1u : 0u);
        } else {
            std::printf("bad command: %s", line);
            std::fflush(stdout);
            continue;
        }
        wl_proxy_marshal(pointer, Frame);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        std::puts("ok");
        std::fflush(stdout);
    }
    return 0;
}
