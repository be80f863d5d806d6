#include "platform/trayhost.h"

#include <QSystemTrayIcon>

namespace BL::Platform {

bool trayHostPresent()
{
    // The taskbar's notification area: Qt asks Windows afresh every time.
    return QSystemTrayIcon::isSystemTrayAvailable();
}

} // namespace BL::Platform
