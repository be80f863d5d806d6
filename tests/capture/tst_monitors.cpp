// Shots on several monitors of mixed scale factors, some left of or above the primary. Runs on
// a nested Xephyr (tests/support/with-xephyr.sh) whose root window shows a pattern in which
// every native pixel has its own colour.
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "capturetestsupport.h"
#include "resources/resources.h"
#include "rootbackground.h"

#include <QtTest>
#include <cmath>
#include <memory>

using BL::Test::firstDifference;
using BL::Test::xdotool;

namespace {

// Unique up to 4096 × 4096 native pixels.
QImage makeRootPattern(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = qRgb(x & 0xff, y & 0xff, ((x >> 8) & 0xf) << 4 | ((y >> 8) & 0xf));
    }
    return image;
}

// Where Qt puts a native point of `screen` in logical coordinates: the origin stays, the rest
// is divided by the ratio.
QPoint nativeOrigin(const QScreen* screen)
{
    return screen->geometry().topLeft();
}

QStringList mouseArgs(const QPoint& p)
{
    return {QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y())};
}

} // namespace

class TestMonitors : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dragOnEachMonitorGivesItsNativePixels();
    void areaAcrossTwoMonitorsIsWhatThePersonSaw();

private:
    QImage m_root;
    std::unique_ptr<QWidget> m_host;
    BL::Capture::COverlayHost* m_overlays = nullptr;
    CCropScreen* m_single = nullptr;
};

void TestMonitors::initTestCase()
{
    BL::Resources::registerResources();
    const QList<QScreen*> screens = QGuiApplication::screens();
    QVERIFY2(screens.size() >= 2, "run through tests/support/with-xephyr.sh with several heads");
    // The factors asked for are the ones Qt applied, in head order.
    const QStringList factors = qEnvironmentVariable("QT_SCREEN_SCALE_FACTORS").split(QLatin1Char(';'));
    QCOMPARE(factors.size(), screens.size());
    for (int i = 0; i < screens.size(); ++i)
        QCOMPARE(screens[i]->devicePixelRatio(), factors[i].toDouble());

    m_root = makeRootPattern(BL::Test::rootSize());
    QVERIFY(BL::Test::setRootBackground(m_root));
    m_host = std::make_unique<QWidget>();
    m_single = new CCropScreen(m_host.get(), false);
    m_single->setDimColor(BL::Capture::dimColor());
    m_overlays = new BL::Capture::COverlayHost(m_host.get(), {m_single});
}

void TestMonitors::dragOnEachMonitorGivesItsNativePixels()
{
    QList<QPixmap> pictures;
    connect(m_single, &CCropScreen::finished, this,
            [&pictures](const QPixmap& picture) { pictures << picture; });
    for (QScreen* screen : QGuiApplication::screens()) {
        const qreal ratio = screen->devicePixelRatio();
        const QPoint origin = nativeOrigin(screen);
        const QString where = screen->name() + QStringLiteral(" at ") + QString::number(origin.x()) +
                              QLatin1Char(',') + QString::number(origin.y()) + QStringLiteral(" ratio ") +
                              QString::number(ratio);
        // Logical corners 40,30 and 161,121 from the origin: on every ratio used here the press
        // lands on a native pixel, and the selection ends on a native pixel boundary.
        const QPoint pressNative = origin + QPoint(int(40 * ratio), int(30 * ratio));
        const QPoint releaseNative =
            origin + QPoint(int(std::floor(161 * ratio)), int(std::floor(121 * ratio)));
        const QRect expectedNative(pressNative, QSize(int(122 * ratio), int(92 * ratio)));

        QCOMPARE(xdotool(mouseArgs(origin + QPoint(300, 200))), 0);
        QTRY_COMPARE_WITH_TIMEOUT(BL::Capture::screenContaining(QCursor::pos()), screen, 5000);
        pictures.clear();
        m_overlays->showOverlay(m_single);
        QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
        QCOMPARE(m_host->geometry(), screen->geometry());
        QVERIFY(BL::Test::waitForSelectorUp(m_single));

        QCOMPARE(
            xdotool(mouseArgs(pressNative) + QStringList{QStringLiteral("mousedown"), QStringLiteral("1")} +
                    mouseArgs(releaseNative) + QStringList{QStringLiteral("mouseup"), QStringLiteral("1")}),
            0);
        QTRY_COMPARE_WITH_TIMEOUT(pictures.size(), 1, 10000);
        const QPixmap& picture = pictures[0];
        QVERIFY2(picture.devicePixelRatio() == ratio, qPrintable(where));
        QVERIFY2(
            picture.size() == expectedNative.size(),
            qPrintable(where + QStringLiteral(": size %1x%2").arg(picture.width()).arg(picture.height())));
        const int diff = firstDifference(picture.toImage(), m_root.copy(expectedNative));
        QVERIFY2(diff == -1, qPrintable(where + QStringLiteral(": first wrong pixel %1,%2")
                                                    .arg(diff % expectedNative.width())
                                                    .arg(diff / expectedNative.width())));
        QTRY_VERIFY(!m_host->isVisible());
    }
}

void TestMonitors::areaAcrossTwoMonitorsIsWhatThePersonSaw()
{
    // Two screens that touch in logical coordinates, with ratios 1 and 2 (exact when doubled).
    const QList<QScreen*> screens = QGuiApplication::screens();
    QRect across;
    for (const QScreen* a : screens) {
        for (const QScreen* b : screens) {
            const QRect ga = a->geometry();
            const QRect gb = b->geometry();
            if (a == b || a->devicePixelRatio() == b->devicePixelRatio() || a->devicePixelRatio() > 2 ||
                b->devicePixelRatio() > 2 || !across.isNull())
                continue;
            if (ga.right() + 1 == gb.left() && ga.top() == gb.top())
                across = QRect(gb.left() - 80, gb.top() + 100, 140, 90);
            else if (ga.bottom() + 1 == gb.top() && ga.left() == gb.left())
                across = QRect(gb.left() + 100, gb.top() - 80, 90, 140);
        }
    }
    QVERIFY2(!across.isNull(), "the layout needs two touching screens of ratios 1 and 2");

    const QPixmap picture = BL::Capture::grabScreenArea(across);
    QCOMPARE(picture.devicePixelRatio(), 2.0);
    QCOMPARE(picture.size(), across.size() * 2);
    // Each pixel of the picture shows the native pixel under that spot of the logical area.
    const QImage seen = picture.toImage().convertToFormat(QImage::Format_RGB32);
    for (int cy = 0; cy < seen.height(); ++cy) {
        for (int cx = 0; cx < seen.width(); ++cx) {
            const QPoint logical = across.topLeft() + QPoint(cx / 2, cy / 2);
            const QScreen* screen = BL::Capture::screenContaining(logical);
            QVERIFY(screen);
            const qreal r = screen->devicePixelRatio();
            const QPoint o = nativeOrigin(screen);
            const QPoint native(o.x() + int(std::floor((across.x() - o.x() + cx / 2.0) * r)),
                                o.y() + int(std::floor((across.y() - o.y() + cy / 2.0) * r)));
            if (seen.pixel(cx, cy) != m_root.pixel(native))
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 differs from native %3,%4")
                                     .arg(cx)
                                     .arg(cy)
                                     .arg(native.x())
                                     .arg(native.y())));
        }
    }
}

QTEST_MAIN(TestMonitors)
#include "tst_monitors.moc"
