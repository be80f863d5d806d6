#include "platform/globalshortcut.h"
#include "platform/logging.h"
#include "platform/x11backends.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QHash>
#include <QMultiHash>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

// X11: a passive grab of the combination on the root window, so the server
// sends us the key press whichever window has the focus.
namespace BL::Platform {

namespace {

// CapsLock and NumLock change the modifier state of every press; a grab must
// cover each combination of them or it misses whenever one is on.
constexpr uint16_t kIgnoredMasks[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                      XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr uint16_t kRelevantMods =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

struct Combination
{
    xcb_keycode_t keycode = 0;
    uint16_t mods = 0;
    bool operator==(const Combination& o) const { return keycode == o.keycode && mods == o.mods; }
};

uint qHash(const Combination& c, uint seed = 0)
{
    return ::qHash((uint(c.keycode) << 16) | c.mods, seed);
}

KeySym keysymFor(int qtKey)
{
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return XK_a + (qtKey - Qt::Key_A);
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return XK_F1 + (qtKey - Qt::Key_F1);
    // Printable Latin-1 keys share their codes with X keysyms.
    if (qtKey >= 0x20 && qtKey <= 0xff)
        return KeySym(qtKey);
    static const QHash<int, KeySym> special = {
        {Qt::Key_Print, XK_Print},    {Qt::Key_SysReq, XK_Sys_Req},
        {Qt::Key_Pause, XK_Pause},    {Qt::Key_ScrollLock, XK_Scroll_Lock},
        {Qt::Key_Escape, XK_Escape},  {Qt::Key_Tab, XK_Tab},
        {Qt::Key_Backtab, XK_Tab},    {Qt::Key_Backspace, XK_BackSpace},
        {Qt::Key_Return, XK_Return},  {Qt::Key_Enter, XK_KP_Enter},
        {Qt::Key_Insert, XK_Insert},  {Qt::Key_Delete, XK_Delete},
        {Qt::Key_Home, XK_Home},      {Qt::Key_End, XK_End},
        {Qt::Key_PageUp, XK_Page_Up}, {Qt::Key_PageDown, XK_Page_Down},
        {Qt::Key_Left, XK_Left},      {Qt::Key_Up, XK_Up},
        {Qt::Key_Right, XK_Right},    {Qt::Key_Down, XK_Down},
        {Qt::Key_Menu, XK_Menu},      {Qt::Key_Help, XK_Help},
        {Qt::Key_Clear, XK_Clear},
    };
    return special.value(qtKey, NoSymbol);
}

uint16_t modsFor(int qtModifiers)
{
    uint16_t mods = 0;
    if (qtModifiers & Qt::ShiftModifier)
        mods |= XCB_MOD_MASK_SHIFT;
    if (qtModifiers & Qt::ControlModifier)
        mods |= XCB_MOD_MASK_CONTROL;
    if (qtModifiers & Qt::AltModifier)
        mods |= XCB_MOD_MASK_1;
    if (qtModifiers & Qt::MetaModifier)
        mods |= XCB_MOD_MASK_4;
    return mods;
}

class CX11ShortcutBackend final : public CAbstractShortcutBackend, private QAbstractNativeEventFilter
{
public:
    explicit CX11ShortcutBackend(const SX11Connection& x11) : m_x11(x11)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    bool registerShortcut(CGlobalShortcut* owner, const QKeySequence& sequence) override
    {
        Combination combination;
        if (!toCombination(sequence, &combination)) {
            qCWarning(lcPlatform) << "cannot map" << sequence.toString() << "to an X11 key";
            return false;
        }
        // Another of our shortcuts may hold this combination already: share the grab.
        if (!m_grabs.contains(combination)) {
            bool refused = false;
            for (uint16_t extra : kIgnoredMasks) {
                const xcb_void_cookie_t cookie =
                    xcb_grab_key_checked(m_x11.connection, 1, m_x11.root, combination.mods | extra,
                                         combination.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
                if (xcb_generic_error_t* error = xcb_request_check(m_x11.connection, cookie)) {
                    refused = true;
                    free(error);
                }
            }
            if (refused) {
                // Someone else holds it: give back whatever variants we did get.
                ungrab(combination);
                qCWarning(lcPlatform) << "the combination" << sequence.toString()
                                      << "is held by another program; that hotkey stays inert";
                return false;
            }
        }
        m_grabs.insert(combination, owner);
        return true;
    }

    void unregisterShortcut(CGlobalShortcut* owner, const QKeySequence& sequence) override
    {
        Combination combination;
        if (!toCombination(sequence, &combination))
            return;
        m_grabs.remove(combination, owner);
        if (!m_grabs.contains(combination))
            ungrab(combination);
    }

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, long*) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        if ((event->response_type & ~0x80) != XCB_KEY_PRESS)
            return false;
        auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
        const Combination combination{press->detail, uint16_t(press->state & kRelevantMods)};
        const QList<CGlobalShortcut*> owners = m_grabs.values(combination);
        for (CGlobalShortcut* owner : owners)
            owner->trigger();
        return !owners.isEmpty();
    }

    bool toCombination(const QKeySequence& sequence, Combination* out) const
    {
        const int key = sequence[0] & ~Qt::KeyboardModifierMask;
        const KeySym sym = keysymFor(key);
        if (sym == NoSymbol)
            return false;
        const KeyCode code = XKeysymToKeycode(m_x11.display, sym);
        if (code == 0)
            return false;
        out->keycode = code;
        out->mods = modsFor(sequence[0] & Qt::KeyboardModifierMask);
        return true;
    }

    void ungrab(const Combination& combination)
    {
        for (uint16_t extra : kIgnoredMasks)
            xcb_ungrab_key(m_x11.connection, combination.keycode, m_x11.root, combination.mods | extra);
        xcb_flush(m_x11.connection);
    }

    const SX11Connection m_x11;
    QMultiHash<Combination, CGlobalShortcut*> m_grabs;
};

} // namespace

std::unique_ptr<CAbstractShortcutBackend> createX11ShortcutBackend(const SX11Connection& x11)
{
    return std::make_unique<CX11ShortcutBackend>(x11);
}

} // namespace BL::Platform
