// Help screen painting and dismissal, on a 1920 x 1080 widget (no screen needed).
#include "capture/helpscreen.h"
#include "capture/selectscreenarea.h"
#include "resources/resources.h"

#include <QFontInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

class TestHelpScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pictureAndTextBox();
    void unloadablePictureLeavesTheText();
    void anyKeyOrButtonDismisses();
    void overlayFontIsMapped();

private:
    QImage paint(const QString& imagePath, const QString& text, const QColor& under = Qt::black);

    QTemporaryDir m_dir;
    QString m_redSquare;
};

namespace {

bool isRed(QRgb pixel)
{
    return qRed(pixel) == 255 && qGreen(pixel) == 0 && qBlue(pixel) == 0;
}

bool isTextInk(QRgb pixel)
{
    return qRed(pixel) > 128 && qGreen(pixel) > 128 && qBlue(pixel) > 128;
}

// Bounding box of the white text drawn on the darkened background.
QRect inkBounds(const QImage& image)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            if (isTextInk(image.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
    }
    return bounds;
}

} // namespace

void TestHelpScreen::initTestCase()
{
    BL::Resources::registerResources();
    BL::Capture::registerOverlayFont();
    QVERIFY(m_dir.isValid());
    QImage square(300, 300, QImage::Format_RGB32);
    square.fill(Qt::red);
    m_redSquare = m_dir.filePath(QStringLiteral("square.png"));
    QVERIFY(square.save(m_redSquare));
}

QImage TestHelpScreen::paint(const QString& imagePath, const QString& text, const QColor& under)
{
    CHelpScreen help(nullptr, imagePath, text);
    help.setColor(BL::Capture::dimColor());
    help.resize(1920, 1080);
    help.show(); // the translucent background is applied on show
    QImage image(help.size(), QImage::Format_RGB32);
    image.fill(under);
    // On the screen the help screen is a child of the transparent host, which draws no window
    // background of its own: leave that out here too, or one more layer of dim would be counted.
    help.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

void TestHelpScreen::pictureAndTextBox()
{
    const QString text = QStringLiteral("Welcome to Brightloom!\n\nA line long enough to need wrapping "
                                        "inside the box, because it goes on and on "
                                        "well past seven hundred pixels of large type");
    const QImage image = paint(m_redSquare, text);

    QVERIFY(isRed(image.pixel(460, 410)));
    QVERIFY(isRed(image.pixel(759, 709)));
    QVERIFY(!isRed(image.pixel(459, 410)));
    QVERIFY(!isRed(image.pixel(460, 409)));
    QVERIFY(!isRed(image.pixel(760, 709)));

    // The text stays in the box from (760, 480) to (1460, 690) and wraps rather than overflow it.
    const QRect textBox(QPoint(760, 480), QPoint(1460, 690));
    QImage textOnly = image.copy();
    for (int y = 410; y < 710; ++y)
        for (int x = 460; x < 760; ++x)
            textOnly.setPixel(x, y, qRgb(0, 0, 0));
    const QRect ink = inkBounds(textOnly);
    QVERIFY2(textBox.contains(ink), qPrintable(QStringLiteral("ink at %1,%2 %3x%4")
                                                   .arg(ink.x())
                                                   .arg(ink.y())
                                                   .arg(ink.width())
                                                   .arg(ink.height())));
    QVERIFY(ink.width() > 500);  // the long line really fills the box width
    QVERIFY(ink.height() > 120); // title, blank line and at least two wrapped lines

    // The background is darkened, not left black or white.
    const QRgb corner = image.pixel(10, 10);
    QVERIFY(qRed(corner) > 0 && qRed(corner) < 40);

    // Darkened twice: the style sheet's background, then the painted shade, each the dim colour
    // at alpha 110. Over white one layer gives about 155, two about 99, three about 62.
    const auto layered = [](int under, int layers) {
        double value = under;
        for (int i = 0; i < layers; ++i)
            value = value * (255 - 110) / 255.0 + 24 * 110 / 255.0;
        return value;
    };
    const QRgb overWhite = paint(m_redSquare, text, Qt::white).pixel(10, 10);
    for (int channel : {qRed(overWhite), qGreen(overWhite), qBlue(overWhite)}) {
        QVERIFY2(std::abs(channel - layered(255, 2)) <= 2,
                 qPrintable(QStringLiteral("%1 over white; one layer %2, two %3")
                                .arg(channel)
                                .arg(layered(255, 1))
                                .arg(layered(255, 2))));
    }
}

void TestHelpScreen::unloadablePictureLeavesTheText()
{
    const QImage image = paint(m_dir.filePath(QStringLiteral("missing.png")), QStringLiteral("Still here"));
    QVERIFY(!isRed(image.pixel(460, 410)));
    const QRect ink = inkBounds(image);
    QVERIFY(!ink.isEmpty());
    QVERIFY(QRect(QPoint(760, 480), QPoint(1460, 690)).contains(ink));
}

void TestHelpScreen::anyKeyOrButtonDismisses()
{
    CHelpScreen help(nullptr, QString(), QStringLiteral("text"));
    help.resize(400, 300);
    help.show();
    QTest::keyClick(&help, Qt::Key_Shift);
    QVERIFY(!help.isVisible());

    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        help.show();
        QTest::mousePress(&help, button, {}, QPoint(5, 5));
        QVERIFY2(!help.isVisible(), qPrintable(QString::number(button)));
    }
}

void TestHelpScreen::overlayFontIsMapped()
{
    // "Century Gothic" is not installed: it must resolve to the bundled font, not a fallback.
    QFont font = BL::Capture::helpFont();
    QCOMPARE(font.pointSize(), 21);
    QCOMPARE(QFontInfo(font).family(), QStringLiteral("TeX Gyre Adventor"));
}

QTEST_MAIN(TestHelpScreen)
#include "tst_helpscreen.moc"
