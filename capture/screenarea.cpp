#include "capture/screenarea.h"

#include "capture/frozenscreen.h"
#include "capture/logging.h"
#include "platform/screengrab.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QVector>
#include <algorithm>
#include <cmath>

namespace {

struct SPiece
{
    QRect logical;
    QImage image;
    qreal ratio = 1;
};

QPoint toNative(const QPoint& origin, const QPoint& p, qreal ratio)
{
    return origin + QPoint(qRound((p.x() - origin.x()) * ratio), qRound((p.y() - origin.y()) * ratio));
}

QImage grabPiece(QScreen* screen, const QRect& logical, qreal* ratio)
{
    // The desktop cannot be read behind the overlay here: the picture taken as it opened serves.
    if (BL::Capture::hasFrozenScreen() && !BL::Capture::hasFrozenRoot())
        return BL::Capture::cropFrozenScreen(screen, logical, ratio);
    *ratio = screen->devicePixelRatio();
    const QRect native = BL::Capture::nativeRect(screen, logical);
    // What the person saw, not the live screen.
    if (BL::Capture::hasFrozenRoot())
        return BL::Capture::cropFrozenRoot(native);
    QImage image = BL::Platform::grabScreenRect(native);
    if (!image.isNull())
        return image;
    // Qt scales the position by the ratio without minding the screen's origin: hand it a
    // position that comes out right after that scaling.
    return screen
        ->grabWindow(0, qRound(native.x() / *ratio), qRound(native.y() / *ratio), logical.width(),
                     logical.height())
        .toImage();
}

} // namespace

namespace BL::Capture {

QScreen* screenContaining(const QPoint& globalPos)
{
    return QGuiApplication::screenAt(globalPos);
}

QRect nativeRect(const QScreen* screen, const QRect& logicalRect)
{
    const QRect geometry = screen->geometry();
    const qreal ratio = screen->devicePixelRatio();
    const QPoint origin = geometry.topLeft();
    const QPoint topLeft = toNative(origin, logicalRect.topLeft(), ratio);
    // The far edge of the last logical pixel, so that neighbouring rectangles meet without a gap.
    const QPoint end = toNative(origin, logicalRect.bottomRight() + QPoint(1, 1), ratio);
    const QPoint screenEnd = toNative(origin, geometry.bottomRight() + QPoint(1, 1), ratio);
    const QRect native(topLeft, end - QPoint(1, 1));
    return native & QRect(origin, screenEnd - QPoint(1, 1));
}

QPixmap grabScreenArea(const QRect& globalRect)
{
    if (!globalRect.isValid()) {
        qCWarning(lcCapture) << "Not grabbing an empty area" << globalRect;
        return {};
    }
    QVector<SPiece> pieces;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect part = globalRect & screen->geometry();
        if (part.isEmpty())
            continue;
        qreal ratio = 1;
        QImage image = grabPiece(screen, part, &ratio);
        if (image.isNull()) {
            qCWarning(lcCapture) << "Grabbing the screen failed for" << part << "on" << screen->name();
            return {};
        }
        pieces.append({part, std::move(image), ratio});
    }
    if (pieces.isEmpty()) {
        qCWarning(lcCapture) << "No screen holds the area to grab" << globalRect;
        return {};
    }
    if (pieces.size() == 1 && pieces[0].logical == globalRect) {
        pieces[0].image.setDevicePixelRatio(pieces[0].ratio);
        return QPixmap::fromImage(std::move(pieces[0].image));
    }
    // Several screens: each part drawn where the person saw it, at the finest ratio among them.
    qreal ratio = 1;
    for (const SPiece& piece : pieces)
        ratio = std::max(ratio, piece.ratio);
    const auto scaled = [ratio](int length) { return int(std::ceil(length * ratio - 1e-9)); };
    QImage canvas(scaled(globalRect.width()), scaled(globalRect.height()), QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        for (const SPiece& piece : pieces) {
            const QPoint offset = piece.logical.topLeft() - globalRect.topLeft();
            const QRectF target(offset.x() * ratio, offset.y() * ratio, piece.logical.width() * ratio,
                                piece.logical.height() * ratio);
            painter.drawImage(target, piece.image);
        }
    }
    canvas.setDevicePixelRatio(ratio);
    return QPixmap::fromImage(std::move(canvas));
}

QRect rectFromCorners(const QPoint& a, const QPoint& b)
{
    // QRect(a, b).normalized() leaves a zero-width rectangle when b lies one pixel left of a.
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

} // namespace BL::Capture
