#include "outputpicture.h"

#include "x11session.h"

#include <QColor>

namespace BL::Test {

QImage nativePicture(const QString& output, const QString& file)
{
    run(QStringLiteral("grim"), output.isEmpty() ? QStringList{file} : QStringList{"-o", output, file});
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

QImage settledPicture(const QString& output, const QString& file)
{
    QImage previous;
    for (int i = 0; i < 100; ++i) {
        const QImage current = nativePicture(output, file);
        if (!current.isNull() && current == previous)
            return current;
        previous = current;
    }
    return QImage();
}

QString firstDifference(const QImage& image, const QImage& reference)
{
    if (image.size() != reference.size())
        return QStringLiteral("size %1x%2 instead of %3x%4")
            .arg(image.width())
            .arg(image.height())
            .arg(reference.width())
            .arg(reference.height());
    const QImage got = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x)
            if (got.pixel(x, y) != reference.pixel(x, y))
                return QStringLiteral("pixel (%1,%2): %3 instead of %4")
                    .arg(x)
                    .arg(y)
                    .arg(QColor(got.pixel(x, y)).name(), QColor(reference.pixel(x, y)).name());
    return QString();
}

} // namespace BL::Test
