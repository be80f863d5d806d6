#include "pattern.h"

#include <QPainter>

namespace BL::Test {

QColor patternAt(int x, int y)
{
    return QColor(x % 251, y % 241, (x * 3 + y * 5) % 239);
}

QString patternMismatch(const QImage& image, const QPoint& origin)
{
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7) {
            const QColor want = patternAt(origin.x() + x, origin.y() + y);
            if (image.pixelColor(x, y).rgb() != want.rgb())
                return QStringLiteral("pixel (%1,%2): %3 instead of %4")
                    .arg(x)
                    .arg(y)
                    .arg(image.pixelColor(x, y).name(), want.name());
        }
    return QString();
}

CPatternWindow::CPatternWindow() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CPatternWindow::paintEvent(QPaintEvent*)
{
    QImage image(size(), QImage::Format_RGB32);
    const QPoint origin = mapToGlobal(QPoint(0, 0));
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = patternAt(origin.x() + x, origin.y() + y).rgb();
    }
    QPainter(this).drawImage(0, 0, image);
}

} // namespace BL::Test
