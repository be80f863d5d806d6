#include "platform/globalshortcut.h"

#include "platform/backends.h"

using BL::Platform::backends;

CGlobalShortcut::CGlobalShortcut(const QKeySequence& shortcut, QObject* parent) : QObject(parent)
{
    setShortcut(shortcut);
}

CGlobalShortcut::~CGlobalShortcut()
{
    unregister();
}

bool CGlobalShortcut::setShortcut(const QKeySequence& shortcut)
{
    unregister();
    m_shortcut = shortcut;
    if (!m_shortcut.isEmpty())
        m_registration = backends().shortcuts().registerShortcut(this, m_shortcut);
    return isRegistered();
}

void CGlobalShortcut::unregister()
{
    // A backend may keep a refused combination to try again later (a new
    // keyboard layout), so it hears of every owner that goes away.
    if (m_registration != NotRegistered)
        backends().shortcuts().unregisterShortcut(this);
    m_registration = NotRegistered;
}

void CGlobalShortcut::trigger()
{
    if (m_enabled)
        emit activated();
}

void CGlobalShortcut::setRegistration(ERegistration registration)
{
    if (registration == m_registration)
        return;
    m_registration = registration;
    emit registrationChanged();
}
