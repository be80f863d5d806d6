#include "platform/pointerscreen.h"

#include "platform/backends.h"
#include "platform/logging.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QtMath>
#include <optional>

namespace BL::Platform {

namespace {

// Set by CPointerAtInput, for the GUI thread only.
std::optional<QPoint> g_pointerAtInput;

// Qt keeps each screen's origin and scales only the distance from it.
QPoint logicalFromNative(const QPoint& native)
{
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect geometry = screen->geometry();
        const qreal ratio = screen->devicePixelRatio();
        const QPoint offset = native - geometry.topLeft();
        if (offset.x() >= 0 && offset.y() >= 0 && offset.x() < qRound(geometry.width() * ratio) &&
            offset.y() < qRound(geometry.height() * ratio))
            return geometry.topLeft() + QPoint(qFloor(offset.x() / ratio), qFloor(offset.y() / ratio));
    }
    return native;
}

} // namespace

CPointerAtInput::CPointerAtInput(const QPoint& native)
{
    g_pointerAtInput = native;
}

CPointerAtInput::~CPointerAtInput()
{
    g_pointerAtInput.reset();
}

QScreen* screenUnderPointer(QPoint* position)
{
    // One look for both answers. On Wayland Qt's position is the last one seen over our own
    // windows, which is why the compositor is asked for the screen first.
    const QPoint cursor = g_pointerAtInput ? logicalFromNative(*g_pointerAtInput) : QCursor::pos();
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
