#include "platform/pointerscreen.h"

#include "platform/backends.h"
#include "platform/logging.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace BL::Platform {

QScreen* screenUnderPointer(QPoint* position)
{
    // One look for both answers. On Wayland Qt's position is the last one seen over our own
    // windows, which is why the compositor is asked for the screen first.
    const QPoint cursor = QCursor::pos();
    if (position)
        *position = cursor;
    if (CAbstractPointerOutput* outputs = backends().pointerOutput()) {
        const QString name = outputs->outputName();
        qCDebug(lcPlatform) << "the compositor has the pointer on" << name;
        for (QScreen* screen : QGuiApplication::screens())
            if (!name.isEmpty() && screen->name() == name)
                return screen;
        qCDebug(lcPlatform) << "no screen named" << name << "for the pointer; asking Qt";
    }
    if (QScreen* screen = QGuiApplication::screenAt(cursor))
        return screen;
    return QGuiApplication::primaryScreen();
}

} // namespace BL::Platform
