#include "api/multipartbody.h"
#include "api/pngencoder.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>
#include <cmath>

// Our own PNG writer must be lossless and readable by any decoder: every picture here is
// encoded, decoded by Qt's reader (libpng, which checks every chunk's CRC and the zlib
// checksum) and compared pixel by pixel.
class TestPngEncoder : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void keepsResolutionAndFormatsItCannotWrite();
    void nullGivesNothing();
};

namespace {

QImage noise(int width, int height, QImage::Format format, quint32 seed)
{
    QImage image(width, height, format);
    QRandomGenerator rng(seed);
    for (int y = 0; y < height; ++y) {
        auto* line = image.scanLine(y);
        for (int i = 0; i < image.bytesPerLine(); ++i)
            line[i] = uchar(rng.bounded(256));
    }
    if (format == QImage::Format_ARGB32_Premultiplied) {
        // Only valid premultiplied pixels: no channel above its alpha.
        for (int y = 0; y < height; ++y) {
            auto* px = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                px[x] = qPremultiply(px[x]);
        }
    }
    return image;
}

// Smooth shading with grain and a hard edge: what a photo does to the filters. The grain is each
// channel's own, or, as a sensor's brightness noise, one for the three channels of a pixel.
QImage photoLike(int width, int height, int grain = 8, bool grainPerPixel = false)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(7);
    for (int y = 0; y < height; ++y) {
        auto* px = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double shade = std::sin(x * 0.013) * std::cos(y * 0.021) * 60 + (x > width / 3 ? 40 : 0);
            const int pixelGrain = rng.bounded(2 * grain + 1) - grain;
            auto channel = [&](int base) {
                const int noise = grainPerPixel ? pixelGrain : rng.bounded(2 * grain + 1) - grain;
                return qBound(0, int(base + shade) + noise, 255);
            };
            px[x] = qRgb(channel(120), channel(100), channel(90));
        }
    }
    return image;
}

// Flat panels, text and a gradient: what a desktop does to them.
QImage screenLike(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, width, height);
    sky.setColorAt(0, QColor(40, 90, 160));
    sky.setColorAt(1, QColor(220, 140, 60));
    p.fillRect(image.rect(), sky);
    p.fillRect(QRect(width / 8, height / 8, width / 2, height / 2), QColor(245, 245, 242));
    for (int line = 0; line < height / 16; ++line)
        p.drawText(width / 8 + 4, height / 8 + 16 * line,
                   QStringLiteral("brightloom %1 quick brown fox").arg(line));
    return image;
}

// The way the encoder took, for the rows that pin it: "photo", "photo runs" and "screen" are one
// stream after a look at the filtered rows, "bands" two bands joined.
QString wayOf(const BL::Api::SPngEncoding& how)
{
    if (how.twoBands)
        return QStringLiteral("bands");
    if (how.photoLike)
        return how.runLengths ? QStringLiteral("photo runs") : QStringLiteral("photo");
    return QStringLiteral("screen");
}

} // namespace

void TestPngEncoder::roundTrip_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QString>("way"); // empty: any
    QTest::newRow("random rgb, split over two threads")
        << noise(640, 480, QImage::Format_RGB32, 1) << QString();
    // Incompressible, and too large to be looked at: two bands.
    QTest::newRow("random rgb, compressed in two parts")
        << noise(1024, 768, QImage::Format_RGB32, 11) << QStringLiteral("bands");
    QTest::newRow("random rgb, odd width") << noise(333, 7, QImage::Format_RGB32, 2) << QString();
    QTest::newRow("random argb") << noise(301, 257, QImage::Format_ARGB32, 3) << QString();
    QTest::newRow("random premultiplied")
        << noise(97, 89, QImage::Format_ARGB32_Premultiplied, 4) << QString();
    QTest::newRow("random rgb888") << noise(101, 50, QImage::Format_RGB888, 5) << QString();
    QTest::newRow("random rgb16") << noise(64, 33, QImage::Format_RGB16, 6) << QString();
    QTest::newRow("one pixel") << noise(1, 1, QImage::Format_RGB32, 7) << QString();
    QTest::newRow("one column") << noise(1, 700, QImage::Format_ARGB32, 8) << QString();
    QTest::newRow("one row") << noise(3000, 1, QImage::Format_RGB32, 9) << QString();
    // The content decides the level of the areas that are looked at; a full screen is not.
    // Fine grain leaves long runs; grain shared by a pixel's channels leaves repeats.
    QTest::newRow("photo-like, fine grain") << photoLike(800, 600, 2) << QStringLiteral("photo runs");
    QTest::newRow("photo-like, grain per pixel") << photoLike(400, 300, 8, true) << QStringLiteral("photo");
    QTest::newRow("photo-like, too large to be looked at") << photoLike(1280, 720) << QStringLiteral("bands");
    QTest::newRow("screen-like, small") << screenLike(400, 300) << QStringLiteral("screen");
    QTest::newRow("screen-like, filtered then in two bands")
        << screenLike(800, 600) << QStringLiteral("bands");
    QTest::newRow("screen-like") << screenLike(1280, 720) << QStringLiteral("bands");
}

void TestPngEncoder::roundTrip()
{
    QFETCH(QImage, image);
    QFETCH(QString, way);
    BL::Api::SPngEncoding how;
    const QByteArray png = BL::Api::encodeFastPng(image, BL::Api::EPngThreads::Two, &how);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QVERIFY(png.endsWith(QByteArray("IEND\xae\x42\x60\x82", 8)));
    QImage decoded;
    QVERIFY(decoded.loadFromData(png, "PNG"));
    QCOMPARE(decoded.size(), image.size());
    QCOMPARE(decoded.hasAlphaChannel(), image.hasAlphaChannel());
    QCOMPARE(decoded.convertToFormat(image.format()), image);
    if (!way.isEmpty())
        QCOMPARE(wayOf(how), way);
    // The upload path writes the same bytes, whether it splits the rows or not.
    QCOMPARE(BL::Api::encodePng(image), png);
    QCOMPARE(BL::Api::encodePng(image, BL::Api::EPngThreads::One), png);
}

void TestPngEncoder::keepsResolutionAndFormatsItCannotWrite()
{
    QImage image = noise(50, 40, QImage::Format_RGB32, 10);
    image.setDotsPerMeterX(5906); // 150 dpi
    image.setDotsPerMeterY(3937);
    const QImage decoded = QImage::fromData(BL::Api::encodeFastPng(image), "PNG");
    QCOMPARE(decoded.dotsPerMeterX(), 5906);
    QCOMPARE(decoded.dotsPerMeterY(), 3937);

    // Palette and grey pictures keep their depth instead of growing into RGB.
    QImage palette(40, 30, QImage::Format_Indexed8);
    palette.setColorTable({qRgb(0, 0, 0), qRgb(255, 0, 0), qRgb(0, 0, 255)});
    for (int y = 0; y < palette.height(); ++y)
        for (int x = 0; x < palette.width(); ++x)
            palette.setPixel(x, y, uint((x * 7 + y) % 3));
    const QImage paletteBack = QImage::fromData(BL::Api::encodeFastPng(palette), "PNG");
    QCOMPARE(paletteBack.format(), QImage::Format_Indexed8);
    QCOMPARE(paletteBack.convertToFormat(QImage::Format_RGB32),
             palette.convertToFormat(QImage::Format_RGB32));

    const QImage grey = noise(33, 21, QImage::Format_Grayscale8, 11);
    const QImage greyBack = QImage::fromData(BL::Api::encodeFastPng(grey), "PNG");
    QCOMPARE(greyBack.format(), QImage::Format_Grayscale8);
    QCOMPARE(greyBack, grey);
}

void TestPngEncoder::nullGivesNothing()
{
    QVERIFY(BL::Api::encodeFastPng(QImage()).isEmpty());
    QVERIFY(BL::Api::encodePng(QImage()).isEmpty());
}

QTEST_MAIN(TestPngEncoder)
#include "tst_pngencoder.moc"
