#include "capture/frozenscreen.h"

#include "capture/logging.h"

#include <cmath>

namespace BL::Capture {

namespace {

struct SFrozenScreen
{
    QImage picture;
    QRect desktop;
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

bool hasFrozenScreen()
{
    return !frozen().picture.isNull();
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
