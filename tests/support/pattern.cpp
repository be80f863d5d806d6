#include "pattern.h"

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

} // namespace BL::Test
