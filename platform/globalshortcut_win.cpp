#include "platform/backendfactories.h"
#include "platform/globalshortcut.h"
#include "platform/logging.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QHash>
#include <windows.h>

// Windows: RegisterHotKey on the thread, WM_HOTKEY arrives in the GUI thread's queue.
namespace BL::Platform {

namespace {

UINT virtualKeyFor(int qtKey)
{
    if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9))
        return UINT(qtKey);
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return VK_F1 + UINT(qtKey - Qt::Key_F1);
    static const QHash<int, UINT> special = {
        {Qt::Key_Print, VK_SNAPSHOT},  {Qt::Key_Pause, VK_PAUSE},       {Qt::Key_Escape, VK_ESCAPE},
        {Qt::Key_Tab, VK_TAB},         {Qt::Key_Backspace, VK_BACK},    {Qt::Key_Return, VK_RETURN},
        {Qt::Key_Enter, VK_RETURN},    {Qt::Key_Insert, VK_INSERT},     {Qt::Key_Delete, VK_DELETE},
        {Qt::Key_Home, VK_HOME},       {Qt::Key_End, VK_END},           {Qt::Key_PageUp, VK_PRIOR},
        {Qt::Key_PageDown, VK_NEXT},   {Qt::Key_Left, VK_LEFT},         {Qt::Key_Up, VK_UP},
        {Qt::Key_Right, VK_RIGHT},     {Qt::Key_Down, VK_DOWN},         {Qt::Key_Space, VK_SPACE},
        {Qt::Key_Comma, VK_OEM_COMMA}, {Qt::Key_Period, VK_OEM_PERIOD}, {Qt::Key_Minus, VK_OEM_MINUS},
        {Qt::Key_Plus, VK_OEM_PLUS},   {Qt::Key_Slash, VK_OEM_2},       {Qt::Key_Semicolon, VK_OEM_1},
    };
    return special.value(qtKey, 0);
}

UINT modsFor(int qtModifiers)
{
    UINT mods = MOD_NOREPEAT;
    if (qtModifiers & Qt::ShiftModifier)
        mods |= MOD_SHIFT;
    if (qtModifiers & Qt::ControlModifier)
        mods |= MOD_CONTROL;
    if (qtModifiers & Qt::AltModifier)
        mods |= MOD_ALT;
    if (qtModifiers & Qt::MetaModifier)
        mods |= MOD_WIN;
    return mods;
}

class CWinShortcutBackend final : public CAbstractShortcutBackend, private QAbstractNativeEventFilter
{
public:
    CWinShortcutBackend() { QCoreApplication::instance()->installNativeEventFilter(this); }

    CGlobalShortcut::ERegistration registerShortcut(CGlobalShortcut* owner,
                                                    const QKeySequence& sequence) override
    {
        const UINT vk = virtualKeyFor(sequence[0] & ~Qt::KeyboardModifierMask);
        if (vk == 0)
            return CGlobalShortcut::NoSuchKey;
        const int id = m_nextId++;
        if (!RegisterHotKey(nullptr, id, modsFor(sequence[0] & Qt::KeyboardModifierMask), vk)) {
            qCWarning(lcPlatform) << "the combination" << sequence.toString()
                                  << "is held by another program; that hotkey stays inert";
            return CGlobalShortcut::HeldElsewhere;
        }
        m_ids.insert(id, owner);
        return CGlobalShortcut::Registered;
    }

    void unregisterShortcut(CGlobalShortcut* owner) override
    {
        for (auto it = m_ids.begin(); it != m_ids.end();) {
            if (it.value() == owner) {
                UnregisterHotKey(nullptr, it.key());
                it = m_ids.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    bool nativeEventFilter(const QByteArray&, void* message, long*) override
    {
        auto* msg = static_cast<MSG*>(message);
        if (msg->message != WM_HOTKEY)
            return false;
        CGlobalShortcut* owner = m_ids.value(int(msg->wParam));
        if (!owner)
            return false;
        owner->trigger();
        return owner->isEnabled();
    }

    QHash<int, CGlobalShortcut*> m_ids;
    int m_nextId = 1;
};

} // namespace

std::unique_ptr<CAbstractShortcutBackend> createWinShortcutBackend()
{
    return std::make_unique<CWinShortcutBackend>();
}

} // namespace BL::Platform
