// A pointer and keyboard for headless KWin, which has no input devices and offers no virtual
// pointer: KWin's own fake input (org_kde_kwin_fake_input), driven by lines on stdin like the
// virtual pointer
//   move X Y   to X,Y of the compositor's logical layout
//   press | release   the left button
//   key CODE...   a combination of evdev key codes: pressed in order, released in reverse
// Each line is answered with "ok" once the compositor has it. Ends at the end of stdin.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <wayland-client.h>

namespace {

// The protocol's interface as libwayland-client describes it; only the requests matter here, and
// their order is the protocol's (version 4).
const wl_interface* kNoTypes[] = {nullptr, nullptr, nullptr};
const wl_message kFakeInputRequests[] = {
    {"authenticate", "ss", kNoTypes},  {"pointer_motion", "ff", kNoTypes},
    {"button", "uu", kNoTypes},        {"axis", "uf", kNoTypes},
    {"touch_down", "2uff", kNoTypes},  {"touch_motion", "2uff", kNoTypes},
    {"touch_up", "2u", kNoTypes},      {"touch_cancel", "2", kNoTypes},
    {"touch_frame", "2", kNoTypes},    {"pointer_motion_absolute", "3ff", kNoTypes},
    {"keyboard_key", "4uu", kNoTypes},
};
const wl_interface kFakeInputInterface = {"org_kde_kwin_fake_input", 4, 11, kFakeInputRequests, 0, nullptr};

enum EFakeInputRequest : uint32_t {
    Authenticate = 0,
    Button = 2,
    PointerMotionAbsolute = 9,
    KeyboardKey = 10
};
constexpr uint32_t kLeftButton = 0x110; // BTN_LEFT

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    auto* input = static_cast<wl_proxy**>(data);
    // Keys came with version 4.
    if (std::strcmp(interface, kFakeInputInterface.name) == 0 && version >= 4)
        *input = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kFakeInputInterface, 4));
}

void onGlobalRemoved(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemoved};

} // namespace

int main()
{
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "fake input: no Wayland display\n");
        return 1;
    }
    wl_proxy* input = nullptr;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &input);
    wl_display_roundtrip(display);
    if (!input) {
        std::fprintf(stderr, "fake input: the compositor offers none to this program\n");
        return 1;
    }
    // KWin drops the events of a device that has not introduced itself.
    wl_proxy_marshal(input, Authenticate, "brightloom tests", "drags on a headless session");
    if (wl_display_roundtrip(display) < 0) {
        std::fprintf(stderr, "fake input: refused\n");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        int x = 0, y = 0;
        if (std::sscanf(line, "move %d %d", &x, &y) == 2) {
            wl_proxy_marshal(input, PointerMotionAbsolute, wl_fixed_from_int(x), wl_fixed_from_int(y));
        } else if (std::strncmp(line, "key ", 4) == 0) {
            uint32_t codes[8];
            int count = 0;
            int used = 0;
            for (const char* rest = line + 4;
                 count < 8 && std::sscanf(rest, "%u%n", &codes[count], &used) == 1; rest += used)
                ++count;
            for (int i = 0; i < count; ++i)
                wl_proxy_marshal(input, KeyboardKey, codes[i], 1u);
            for (int i = count - 1; i >= 0; --i)
                wl_proxy_marshal(input, KeyboardKey, codes[i], 0u);
        } else if (std::strncmp(line, "press", 5) == 0 || std::strncmp(line, "release", 7) == 0) {
            wl_proxy_marshal(input, Button, kLeftButton, line[0] == 'p' ? 1u : 0u);
        } else {
            std::printf("bad command: %s", line);
            std::fflush(stdout);
            continue;
        }
        if (wl_display_roundtrip(display) < 0)
            return 1;
        std::puts("ok");
        std::fflush(stdout);
    }
    return 0;
}
