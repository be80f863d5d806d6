#include "capture/windowpicker.h"

#include "capture/frozenscreen.h"
#include "capture/logging.h"
#include "capture/screenarea.h"
#include "platform/screengrab.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace BL::Capture {

namespace {

// The native pixel under a logical point of `screen` (its top-left one on a scaled screen).
QPoint toNative(const QScreen* screen, const QPoint& logical)
{
    const QPoint origin = screen->geometry().topLeft();
    const qreal ratio = screen->devicePixelRatio();
    return origin + QPoint(int(std::floor((logical.x() - origin.x()) * ratio)),
                           int(std::floor((logical.y() - origin.y()) * ratio)));
}

// The logical rectangle of `screen` that covers a native rectangle lying on it, edges outwards.
QRect toLogical(const QScreen* screen, const QRect& native)
{
    const QPoint origin = screen->geometry().topLeft();
    const qreal ratio = screen->devicePixelRatio();
    const auto down = [ratio](int offset) { return int(std::floor(offset / ratio)); };
    const auto up = [ratio](int offset) { return int(std::ceil(offset / ratio)); };
    const QPoint topLeft = native.topLeft() - origin;
    const QPoint end = native.bottomRight() + QPoint(1, 1) - origin;
    return QRect(origin + QPoint(down(topLeft.x()), down(topLeft.y())),
                 origin + QPoint(up(end.x()) - 1, up(end.y()) - 1));
}

QRect nativeScreen(const QScreen* screen)
{
    return nativeRect(screen, screen->geometry());
}

} // namespace

CWindowPicker::CWindowPicker(QWidget* selector) : m_selector(selector) {}

bool CWindowPicker::available() const
{
    return BL::Platform::windowList().available();
}

void CWindowPicker::follow()
{
    BL::Platform::windowList().follow(m_selector->window()->winId());
}

void CWindowPicker::stop()
{
    BL::Platform::windowList().stop();
}

qreal CWindowPicker::ratio() const
{
    const QScreen* screen = screenContaining(m_selector->mapToGlobal(m_selector->rect().center()));
    return screen ? screen->devicePixelRatio() : 1.0;
}

SPickedWindow CWindowPicker::windowAt(const QPoint& pos) const
{
    const QPoint global = m_selector->mapToGlobal(pos);
    const QScreen* screen = screenContaining(global);
    if (!screen)
        return {};
    const BL::Platform::STopLevelWindow window =
        BL::Platform::windowList().windowAt(toNative(screen, global));
    if (window.id == 0)
        return {};
    // Only the part on the selector's screen is outlined: the overlay covers no other.
    const QRect logical = toLogical(screen, window.geometry & nativeScreen(screen));
    return {window, QRect(m_selector->mapFromGlobal(logical.topLeft()), logical.size())};
}

QPixmap CWindowPicker::grab(const SPickedWindow& picked, qreal ratio)
{
    // What the screens show of it: parts beyond every screen are left out.
    QRegion shown;
    for (const QScreen* screen : QGuiApplication::screens())
        shown += picked.window.geometry & nativeScreen(screen);
    const QRect area = shown.boundingRect();
    if (area.isEmpty()) {
        qCWarning(lcCapture) << "No screen shows the window" << picked.window.geometry;
        return {};
    }
    // On a frozen root the overlay showed that picture: the window is cut from it as the person
    // saw it, covered parts showing what covered them.
    const bool frozen = hasFrozenRoot();
    QImage image = frozen ? cropFrozenRoot(area) : BL::Platform::windowList().ownPixels(picked.window, area);
    if (image.isNull() && !frozen) {
        // Where the window system keeps no copy of its own: what the screen shows there now
        // that the overlay is gone, covered parts included.
        qCDebug(lcCapture) << "Cutting the window" << picked.window.geometry << "from the screen";
        image = BL::Platform::grabScreenRect(area);
    }
    if (image.isNull()) {
        qCWarning(lcCapture) << "Grabbing the window failed for" << area;
        return {};
    }
    const QRegion unseen = QRegion(area) - shown;
    if (!unseen.isEmpty()) {
        // Between screens of different sizes: black where no screen is, as in an area grab.
        QPainter painter(&image);
        for (const QRect& gap : unseen)
            painter.fillRect(gap.translated(-area.topLeft()), Qt::black);
    }
    image.setDevicePixelRatio(ratio);
    return QPixmap::fromImage(std::move(image));
}

} // namespace BL::Capture
