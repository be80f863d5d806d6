#include "platform/trayhost.h"

#include <QSystemTrayIcon>

namespace BL::Platform {

bool trayHostPresent()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace BL::Platform
