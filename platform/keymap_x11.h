#pragma once

#include <QVector>
#include <cstdint>
#include <xcb/xcb.h>

namespace BL::Platform {

// The server's keyboard and modifier mappings as the core protocol reports them (the
// server derives both from the XKB keymap in force). Read anew after every mapping
// change: which key types a symbol, and which ModN bit is NumLock or Super, differ
// from one layout and keyboard to the next.
class CX11Keymap
{
public:
    // Empty (no keys, the usual masks) when the server does not answer.
    static CX11Keymap load(xcb_connection_t* connection);

    struct SKey
    {
        xcb_keycode_t keycode = 0; // 0: no key types this symbol
        uint16_t levelMods = 0;    // what selects the symbol's level: Shift, AltGr or both
    };
    // The key that types `keysym` in the first group, preferring the lowest level.
    SKey find(uint32_t keysym) const;
    // Keypad symbols: the key alone, whichever NumLock level carries the symbol.
    SKey findKeypad(uint32_t keysym) const;

    // True when the server acts on the key itself with Ctrl+Alt held (console switch,
    // server kill): the press never reaches a client, so a Ctrl+Alt hotkey on it is dead.
    bool serverTakesCtrlAlt(xcb_keycode_t keycode) const;

    uint16_t altMask() const { return m_altMask; }
    uint16_t metaMask() const { return m_metaMask; }
    uint16_t level3Mask() const { return m_level3Mask; }
    // The lock modifiers a press may carry without meaning anything to a hotkey.
    QVector<uint16_t> lockMasks() const;

private:
    uint32_t keysymAt(int keycode, int column) const;
    // The modifier bit of the first key that types one of `keysyms`, or 0.
    uint16_t maskOf(std::initializer_list<uint32_t> keysyms) const;

    int m_minKeycode = 0;
    int m_keycodeCount = 0;
    int m_perKeycode = 0;
    QVector<uint32_t> m_keysyms;
    QVector<xcb_keycode_t> m_modifierKeys; // 8 rows of m_perModifier keycodes
    int m_perModifier = 0;

    uint16_t m_altMask = XCB_MOD_MASK_1;
    uint16_t m_metaMask = XCB_MOD_MASK_4;
    uint16_t m_numLockMask = XCB_MOD_MASK_2;
    uint16_t m_scrollLockMask = 0;
    uint16_t m_level3Mask = 0;
};

} // namespace BL::Platform
