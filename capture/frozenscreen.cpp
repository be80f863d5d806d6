#include "capture/frozenscreen.h"

#include "capture/logging.h"
#include "capture/screenarea.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <algorithm>
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

QImage cropFrozenScreen(const QScreen* screen, const QRect& logicalRect, qreal* ratio)
{
    const SFrozenScreen& frozenScreen = frozen();
    if (frozenScreen.picture.isNull() || frozenScreen.root)
        return {};
    const QRect area = logicalRect & frozenScreen.desktop;
    if (area.isEmpty()) {
        qCWarning(lcCapture) << "The area" << logicalRect << "lies outside the frozen screen"
                             << frozenScreen.desktop;
        return {};
    }
    // The portal pictures the logical layout at one scale, the greatest of the outputs'. The
    // layout's size is the outputs' native size divided and cut down to whole points, so the plain
    // quotient overshoots a fractional scale a little: compositors speak of scales in 120ths.
    const qreal pictureScale = std::max(
        1.0, std::round(120.0 * frozenScreen.picture.width() / frozenScreen.desktop.width()) / 120.0);
    // Qt rounds a fractional output's ratio up to a whole one; the picture is never finer than
    // the output. (An output of a fractional scale beside a finer one is not told apart.)
    const qreal screenRatio = std::min(screen->devicePixelRatio(), pictureScale);
    const auto at = [&](int logical, int origin) {
        return int(std::lround((logical - origin) * pictureScale));
    };
    const QPoint origin = frozenScreen.desktop.topLeft();
    const QRect pixels =
        QRect(QPoint(at(area.left(), origin.x()), at(area.top(), origin.y())),
              QPoint(at(area.right() + 1, origin.x()) - 1, at(area.bottom() + 1, origin.y()) - 1)) &
        frozenScreen.picture.rect();
    QImage cut = frozenScreen.picture.copy(pixels);
    if (screenRatio != pictureScale) {
        // A coarser output was enlarged into the picture: back to its own pixels, as near as
        // the enlargement lets them be found again.
        cut = cut.scaled(int(std::lround(area.width() * screenRatio)),
                         int(std::lround(area.height() * screenRatio)), Qt::IgnoreAspectRatio,
                         Qt::SmoothTransformation);
    }
    *ratio = screenRatio;
    return cut;
}

} // namespace BL::Capture
