#include "platform/keymap_x11.h"

#include <X11/keysym.h>
#include <cstdlib>
#include <memory>

namespace BL::Platform {

namespace {

struct SFree
{
    void operator()(void* p) const { free(p); }
};
template<typename T> using XcbReply = std::unique_ptr<T, SFree>;

// Core columns of a key with XKB: group 1 levels 1 and 2, group 2 levels 1 and 2,
// then group 1 levels 3 and 4. Group 2 is left out: a hotkey lives in the first group.
struct SColumn
{
    int column;
    bool shift;
    bool level3;
};
constexpr SColumn kColumns[] = {{0, false, false}, {1, true, false}, {4, false, true}, {5, true, true}};

} // namespace

CX11Keymap CX11Keymap::load(xcb_connection_t* connection)
{
    CX11Keymap keymap;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    keymap.m_minKeycode = setup->min_keycode;
    keymap.m_keycodeCount = setup->max_keycode - setup->min_keycode + 1;
    const auto keysCookie = xcb_get_keyboard_mapping(connection, setup->min_keycode, keymap.m_keycodeCount);
    const auto modsCookie = xcb_get_modifier_mapping(connection);

    if (XcbReply<xcb_get_keyboard_mapping_reply_t> keys{
            xcb_get_keyboard_mapping_reply(connection, keysCookie, nullptr)}) {
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(keys.get());
        keymap.m_perKeycode = keys->keysyms_per_keycode;
        keymap.m_keysyms =
            QVector<uint32_t>(syms, syms + xcb_get_keyboard_mapping_keysyms_length(keys.get()));
    }
    if (XcbReply<xcb_get_modifier_mapping_reply_t> mods{
            xcb_get_modifier_mapping_reply(connection, modsCookie, nullptr)}) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mods.get());
        keymap.m_perModifier = mods->keycodes_per_modifier;
        keymap.m_modifierKeys =
            QVector<xcb_keycode_t>(codes, codes + xcb_get_modifier_mapping_keycodes_length(mods.get()));
    }
    if (keymap.m_keysyms.isEmpty() || keymap.m_modifierKeys.isEmpty())
        return keymap;

    keymap.m_altMask = keymap.maskOf({XK_Alt_L, XK_Alt_R});
    if (!keymap.m_altMask)
        keymap.m_altMask = XCB_MOD_MASK_1;
    // Qt's Meta is the Super (Windows) key; a keyboard without one may have Meta on a bit of its own.
    keymap.m_metaMask = keymap.maskOf({XK_Super_L, XK_Super_R});
    if (!keymap.m_metaMask || keymap.m_metaMask == keymap.m_altMask)
        keymap.m_metaMask = keymap.maskOf({XK_Meta_L, XK_Meta_R});
    if (!keymap.m_metaMask || keymap.m_metaMask == keymap.m_altMask)
        keymap.m_metaMask = XCB_MOD_MASK_4;
    keymap.m_numLockMask = keymap.maskOf({XK_Num_Lock});
    keymap.m_scrollLockMask = keymap.maskOf({XK_Scroll_Lock});
    keymap.m_level3Mask = keymap.maskOf({XK_ISO_Level3_Shift, XK_Mode_switch});
    return keymap;
}

uint32_t CX11Keymap::keysymAt(int keycode, int column) const
{
    const int index = (keycode - m_minKeycode) * m_perKeycode + column;
    if (column >= m_perKeycode || index < 0 || index >= m_keysyms.size())
        return XK_VoidSymbol;
    return m_keysyms[index];
}

uint16_t CX11Keymap::maskOf(std::initializer_list<uint32_t> keysyms) const
{
    for (int modifier = 0; modifier < 8; ++modifier)
        for (int i = 0; i < m_perModifier; ++i) {
            const xcb_keycode_t code = m_modifierKeys.value(modifier * m_perModifier + i);
            if (code == 0)
                continue;
            for (int column = 0; column < m_perKeycode; ++column)
                for (uint32_t keysym : keysyms)
                    if (keysymAt(code, column) == keysym)
                        return uint16_t(1u << modifier);
        }
    return 0;
}

CX11Keymap::SKey CX11Keymap::find(uint32_t keysym) const
{
    for (const SColumn& level : kColumns) {
        if (level.level3 && !m_level3Mask)
            continue;
        for (int i = 0; i < m_keycodeCount; ++i) {
            const int code = m_minKeycode + i;
            if (keysymAt(code, level.column) != keysym)
                continue;
            uint16_t mods = level.shift ? uint16_t(XCB_MOD_MASK_SHIFT) : uint16_t(0);
            if (level.level3)
                mods |= m_level3Mask;
            return {xcb_keycode_t(code), mods};
        }
    }
    return {};
}

CX11Keymap::SKey CX11Keymap::findKeypad(uint32_t keysym) const
{
    for (int column : {0, 1})
        for (int i = 0; i < m_keycodeCount; ++i)
            if (keysymAt(m_minKeycode + i, column) == keysym)
                return {xcb_keycode_t(m_minKeycode + i), 0};
    return {};
}

bool CX11Keymap::serverTakesCtrlAlt(xcb_keycode_t keycode) const
{
    // XF86Switch_VT_1 to _12 and XF86Terminate_Server, the symbols of the server's own actions.
    constexpr uint32_t kFirstSwitchVt = 0x1008fe01;
    constexpr uint32_t kLastSwitchVt = 0x1008fe0c;
    constexpr uint32_t kTerminateServer = 0x1008fe14;
    for (int column = 0; column < m_perKeycode; ++column) {
        const uint32_t keysym = keysymAt(keycode, column);
        if ((keysym >= kFirstSwitchVt && keysym <= kLastSwitchVt) || keysym == kTerminateServer)
            return true;
    }
    return false;
}

QVector<uint16_t> CX11Keymap::lockMasks() const
{
    // Every combination of the locks that are on their own bits.
    QVector<uint16_t> locks{XCB_MOD_MASK_LOCK};
    const uint16_t meaningful =
        XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | m_altMask | m_metaMask | m_level3Mask;
    for (uint16_t lock : {m_numLockMask, m_scrollLockMask})
        if (lock && !(lock & meaningful) && !locks.contains(lock))
            locks << lock;
    QVector<uint16_t> masks;
    for (int subset = 0; subset < (1 << locks.size()); ++subset) {
        uint16_t mask = 0;
        for (int i = 0; i < locks.size(); ++i)
            if (subset & (1 << i))
                mask |= locks[i];
        masks << mask;
    }
    return masks;
}

} // namespace BL::Platform
