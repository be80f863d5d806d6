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
        m_registered = backends().shortcuts().registerShortcut(this, m_shortcut);
    return m_registered;
}

void CGlobalShortcut::unregister()
{
    if (m_registered)
        backends().shortcuts().unregisterShortcut(this, m_shortcut);
    m_registered = false;
}

void CGlobalShortcut::trigger()
{
    if (m_enabled)
        emit activated();
}
