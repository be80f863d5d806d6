#include "capture/frozenscreen.h"

#include "capture/logging.h"
#include "capture/screenarea.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <cmath>

namespace BL::Capture {

namespace {

struct SFrozenScreen
{
    QImage picture;
    QRect desktop;
    bool root = false; // the root window's pixels, native coordinates from its origin
};

SFrozenScreen& frozen()
{
    // GUI thread only, like every overlay.
    static SFrozenScreen instance;
    return instance;
}

} // namespace

void setFrozenScreen(const QImage& picture, const QRect& desktop)
{
    frozen() = picture.isNull() || !desktop.isValid() ? SFrozenScreen{} : SFrozenScreen{picture, desktop};
}

void setFrozenRoot(const QImage& root)
{
    frozen() = root.isNull() ? SFrozenScreen{} : SFrozenScreen{root, root.rect(), true};
}

bool hasFrozenScreen()
{
    return !frozen().picture.isNull();
}

bool hasFrozenRoot()
{
    return frozen().root;
}

bool paintFrozenRoot(QPainter& painter, const QRect& target, const QRect& globalRect)
{
    const SFrozenScreen& screen = frozen();
    if (!screen.root)
        return false;
    const qreal scaleX = qreal(target.width()) / globalRect.width();
    const qreal scaleY = qreal(target.height()) / globalRect.height();
    for (const QScreen* output : QGuiApplication::screens()) {
        const QRect part = globalRect & output->geometry();
        if (part.isEmpty())
            continue;
        const QPoint offset = part.topLeft() - globalRect.topLeft();
        const QRectF to(target.x() + offset.x() * scaleX, target.y() + offset.y() * scaleY,
                        part.width() * scaleX, part.height() * scaleY);
        painter.drawImage(to, screen.picture, QRectF(nativeRect(output, part)));
    }
    return true;
}

QImage cropFrozenRoot(const QRect& nativeRect)
{
    const SFrozenScreen& screen = frozen();
    if (!screen.root || !screen.picture.rect().contains(nativeRect))
        return {};
    return screen.picture.copy(nativeRect);
}

QPixmap cropFrozenScreen(const QRect& globalRect)
{
    const SFrozenScreen& screen = frozen();
    if (screen.picture.isNull())
        return {};
    const QRect area = globalRect.intersected(screen.desktop);
    if (area.isEmpty()) {
        qCWarning(lcCapture) << "The area" << globalRect << "lies outside the frozen screen"
                             << screen.desktop;
        return {};
    }
    // A scaled output hands over more pixels than logical points: cut at its own pixels, so the
    // picture has the native resolution of the area. Edges are rounded outwards.
    const qreal scale = qreal(screen.picture.width()) / screen.desktop.width();
    const QPoint offset = area.topLeft() - screen.desktop.topLeft();
    const int left = int(std::floor(offset.x() * scale));
    const int top = int(std::floor(offset.y() * scale));
    const int right = int(std::ceil((offset.x() + area.width()) * scale));
    const int bottom = int(std::ceil((offset.y() + area.height()) * scale));
    const QRect pixels =
        QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).intersected(screen.picture.rect());
    QPixmap cut = QPixmap::fromImage(screen.picture.copy(pixels));
    cut.setDevicePixelRatio(scale);
    return cut;
}

} // namespace BL::Capture
