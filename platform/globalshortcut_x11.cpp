#include "platform/globalshortcut.h"
#include "platform/keymap_x11.h"
#include "platform/logging.h"
#include "platform/pointerscreen.h"
#include "platform/x11backends.h"

#include <QAbstractNativeEventFilter>
#include <QChar>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QWindow>
#include <X11/keysym.h>
#include <cstring>
#include <optional>
#include <utility>
#include <xcb/xcb.h>

// X11: a passive grab of the combination on the root window, so the server
// sends us the key press whichever window has the focus.
namespace BL::Platform {

namespace {

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

constexpr uint32_t kUnicodeKeysym = 0x01000000;
constexpr uint32_t kNoSymbol = 0;

uint32_t keypadKeysymFor(int qtKey)
{
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return XK_KP_0 + uint32_t(qtKey - Qt::Key_0);
    static const QHash<int, uint32_t> keypad = {
        {Qt::Key_Asterisk, XK_KP_Multiply},
        {Qt::Key_Plus, XK_KP_Add},
        {Qt::Key_Minus, XK_KP_Subtract},
        {Qt::Key_Period, XK_KP_Decimal},
        {Qt::Key_Comma, XK_KP_Separator},
        {Qt::Key_Slash, XK_KP_Divide},
        {Qt::Key_Enter, XK_KP_Enter},
        {Qt::Key_Equal, XK_KP_Equal},
        {Qt::Key_Home, XK_KP_Home},
        {Qt::Key_End, XK_KP_End},
        {Qt::Key_Left, XK_KP_Left},
        {Qt::Key_Right, XK_KP_Right},
        {Qt::Key_Up, XK_KP_Up},
        {Qt::Key_Down, XK_KP_Down},
        {Qt::Key_PageUp, XK_KP_Prior},
        {Qt::Key_PageDown, XK_KP_Next},
        {Qt::Key_Insert, XK_KP_Insert},
        {Qt::Key_Delete, XK_KP_Delete},
        {Qt::Key_Clear, XK_KP_Begin},
        {Qt::Key_Space, XK_KP_Space},
    };
    return keypad.value(qtKey, kNoSymbol);
}

// The symbols that type a Qt key, best first. Qt names a letter by its capital, while
// the key types the small one without Shift.
QVector<uint32_t> keysymsFor(int qtKey)
{
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return {uint32_t(XK_a + (qtKey - Qt::Key_A))};
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return {uint32_t(XK_F1 + (qtKey - Qt::Key_F1))};
    if (qtKey >= 0x20 && qtKey < 0x01000000) {
        // Latin-1 keysyms are the code points; the rest of Unicode has keysyms of its own.
        const auto keysym = [](uint code) { return code <= 0xff ? code : kUnicodeKeysym | code; };
        const uint small = QChar::toLower(uint(qtKey));
        if (small != uint(qtKey))
            return {keysym(small), keysym(uint(qtKey))};
        return {keysym(uint(qtKey))};
    }
    static const QHash<int, uint32_t> special = {
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
    const uint32_t keysym = special.value(qtKey, kNoSymbol);
    return keysym == kNoSymbol ? QVector<uint32_t>{} : QVector<uint32_t>{keysym};
}

// The first event code of the XKB extension, whose keymap changes Qt's connection hears
// of instead of the core MappingNotify; 0 without the extension.
uint8_t xkbFirstEvent(xcb_connection_t* connection)
{
    static const char kName[] = "XKEYBOARD";
    const auto cookie = xcb_query_extension(connection, uint16_t(strlen(kName)), kName);
    xcb_query_extension_reply_t* reply = xcb_query_extension_reply(connection, cookie, nullptr);
    const uint8_t first = reply && reply->present ? reply->first_event : 0;
    free(reply);
    return first;
}

class CX11ShortcutBackend final : public CAbstractShortcutBackend, private QAbstractNativeEventFilter
{
public:
    explicit CX11ShortcutBackend(const SX11Connection& x11)
        : m_x11(x11), m_keymap(CX11Keymap::load(x11.connection)),
          m_xkbFirstEvent(xkbFirstEvent(x11.connection))
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    CGlobalShortcut::ERegistration registerShortcut(CGlobalShortcut* owner,
                                                    const QKeySequence& sequence) override
    {
        unregisterShortcut(owner);
        SOwner entry{sequence, {}, CGlobalShortcut::NotRegistered};
        attach(entry);
        m_owners.insert(owner, entry);
        return entry.state;
    }

    void unregisterShortcut(CGlobalShortcut* owner) override
    {
        const auto it = m_owners.constFind(owner);
        if (it == m_owners.cend())
            return;
        const SOwner entry = *it;
        m_owners.erase(it);
        if (entry.state == CGlobalShortcut::Registered && !heldByAnyOwner(entry.combination))
            release(entry.combination);
    }

private:
    // What each shortcut asked for and the key it got with the keymap in force.
    struct SOwner
    {
        QKeySequence sequence;
        Combination combination;
        CGlobalShortcut::ERegistration state;
    };

    bool nativeEventFilter(const QByteArray& eventType, void* message, long*) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        const uint8_t type = event->response_type & ~0x80;
        if (isMappingChange(event, type)) {
            scheduleRegrab();
            return false; // Qt needs it as much as we do
        }
        if (type != XCB_KEY_PRESS)
            return false;
        auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
        const uint16_t meaningful = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | m_keymap.altMask() |
                                    m_keymap.metaMask() | m_keymap.level3Mask();
        const Combination combination{press->detail, uint16_t(press->state & meaningful)};
        if (!m_grabs.contains(combination))
            return false;
        QVector<QPointer<CGlobalShortcut>> owners;
        bool taken = false;
        for (auto it = m_owners.cbegin(); it != m_owners.cend(); ++it)
            if (it->state == CGlobalShortcut::Registered && it->combination == combination) {
                owners << it.key();
                taken = taken || it.key()->isEnabled();
            }
        // The press says where the pointer was, unless it was on another X screen: the overlay
        // need not ask the server again.
        std::optional<CPointerAtInput> pointer;
        if (press->same_screen)
            pointer.emplace(QPoint(press->root_x, press->root_y));
        for (const QPointer<CGlobalShortcut>& owner : owners)
            if (owner)
                owner->trigger();
        if (taken)
            return true;
        // No enabled shortcut wants it: it belongs to our focused window, where the options
        // dialog records the current hotkeys while they are switched off. The server reports
        // a press that set off a grab on the grab window, the root, which Qt would drop.
        if (const QWindow* focus = QGuiApplication::focusWindow(); focus && press->event == m_x11.root) {
            press->event = xcb_window_t(focus->winId());
            press->child = XCB_NONE;
        }
        return false;
    }

    bool isMappingChange(xcb_generic_event_t* event, uint8_t type) const
    {
        if (type == XCB_MAPPING_NOTIFY)
            return reinterpret_cast<xcb_mapping_notify_event_t*>(event)->request != XCB_MAPPING_POINTER;
        // XKB's NewKeyboardNotify (0) and MapNotify (1); the kind is the second byte.
        const uint8_t xkbType = reinterpret_cast<const uint8_t*>(event)[1];
        return m_xkbFirstEvent != 0 && type == m_xkbFirstEvent && xkbType <= 1;
    }

    void scheduleRegrab()
    {
        // One layout switch sends a burst of notifications; grab once after the burst.
        if (m_regrabPending)
            return;
        m_regrabPending = true;
        QTimer::singleShot(0, QCoreApplication::instance(), [this] { regrab(); });
    }

    // Keys move between layouts: grab each shortcut's combination where the new keymap puts
    // it, then release every grab the new keymap no longer needs, on the keycode and lock
    // states it was made with. Grabbing first leaves no moment in which an unmoved hotkey is
    // ungrabbed (tools that type keys change the mapping around every press).
    void regrab()
    {
        m_regrabPending = false;
        const QHash<Combination, QVector<uint16_t>> previous = std::exchange(m_grabs, {});
        m_keymap = CX11Keymap::load(m_x11.connection);
        int grabbed = 0;
        for (auto it = m_owners.begin(); it != m_owners.end(); ++it) {
            attach(*it);
            it.key()->setRegistration(it->state);
            grabbed += it->state == CGlobalShortcut::Registered ? 1 : 0;
        }
        for (auto it = previous.cbegin(); it != previous.cend(); ++it)
            for (uint16_t lock : it.value())
                if (!m_grabs.value(it.key()).contains(lock))
                    xcb_ungrab_key(m_x11.connection, it.key().keycode, m_x11.root, it.key().mods | lock);
        xcb_flush(m_x11.connection);
        qCDebug(lcPlatform) << "keyboard mapping changed;" << grabbed << "of" << m_owners.size()
                            << "hotkeys grabbed again";
    }

    void attach(SOwner& entry)
    {
        if (!toCombination(entry.sequence, &entry.combination)) {
            qCWarning(lcPlatform) << "cannot map" << entry.sequence.toString() << "to a key of this keyboard";
            entry.state = CGlobalShortcut::NoSuchKey;
            return;
        }
        // Another of our shortcuts may hold this combination already: share the grab.
        if (!m_grabs.contains(entry.combination) && !grab(entry.combination)) {
            qCWarning(lcPlatform) << "the combination" << entry.sequence.toString()
                                  << "is held by another program; that hotkey stays inert";
            entry.state = CGlobalShortcut::HeldElsewhere;
            return;
        }
        entry.state = CGlobalShortcut::Registered;
    }

    bool heldByAnyOwner(const Combination& combination) const
    {
        for (const SOwner& entry : m_owners)
            if (entry.state == CGlobalShortcut::Registered && entry.combination == combination)
                return true;
        return false;
    }

    bool toCombination(const QKeySequence& sequence, Combination* out) const
    {
        const int key = sequence[0] & ~Qt::KeyboardModifierMask;
        const int qtMods = sequence[0] & Qt::KeyboardModifierMask;
        CX11Keymap::SKey found;
        // A keypad key is the same key with NumLock on or off; grab the key itself.
        if (qtMods & Qt::KeypadModifier)
            if (const uint32_t keysym = keypadKeysymFor(key); keysym != kNoSymbol)
                found = m_keymap.findKeypad(keysym);
        for (uint32_t keysym : keysymsFor(key)) {
            if (found.keycode)
                break;
            found = m_keymap.find(keysym);
        }
        if (found.keycode == 0)
            return false;
        uint16_t mods = found.levelMods;
        if (qtMods & Qt::ShiftModifier || key == Qt::Key_Backtab)
            mods |= XCB_MOD_MASK_SHIFT;
        if (qtMods & Qt::ControlModifier)
            mods |= XCB_MOD_MASK_CONTROL;
        if (qtMods & Qt::AltModifier)
            mods |= m_keymap.altMask();
        if (qtMods & Qt::MetaModifier)
            mods |= m_keymap.metaMask();
        const uint16_t ctrlAlt = XCB_MOD_MASK_CONTROL | m_keymap.altMask();
        if ((mods & ctrlAlt) == ctrlAlt && m_keymap.serverTakesCtrlAlt(found.keycode)) {
            qCWarning(lcPlatform) << "the X server keeps" << sequence.toString() << "for itself";
            return false;
        }
        *out = {found.keycode, mods};
        return true;
    }

    // Grabs the combination with every state of the locks; all or nothing. A combination
    // we hold already is simply grabbed again: the server replaces a client's own grab.
    bool grab(const Combination& combination)
    {
        const QVector<uint16_t> locks = m_keymap.lockMasks();
        QVector<xcb_void_cookie_t> cookies;
        for (uint16_t lock : locks)
            cookies << xcb_grab_key_checked(m_x11.connection, 1, m_x11.root, combination.mods | lock,
                                            combination.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        bool refused = false;
        for (const xcb_void_cookie_t& cookie : cookies)
            if (xcb_generic_error_t* error = xcb_request_check(m_x11.connection, cookie)) {
                refused = true;
                free(error);
            }
        m_grabs.insert(combination, locks);
        if (refused)
            release(combination); // give back whatever variants we did get
        return !refused;
    }

    void release(const Combination& combination)
    {
        for (uint16_t lock : m_grabs.take(combination))
            xcb_ungrab_key(m_x11.connection, combination.keycode, m_x11.root, combination.mods | lock);
        xcb_flush(m_x11.connection);
    }

    const SX11Connection m_x11;
    CX11Keymap m_keymap;
    const uint8_t m_xkbFirstEvent;
    bool m_regrabPending = false;
    QHash<CGlobalShortcut*, SOwner> m_owners;
    // Each grab made, with the lock states it was made with: released exactly so.
    QHash<Combination, QVector<uint16_t>> m_grabs;
};

} // namespace

std::unique_ptr<CAbstractShortcutBackend> createX11ShortcutBackend(const SX11Connection& x11)
{
    return std::make_unique<CX11ShortcutBackend>(x11);
}

} // namespace BL::Platform
