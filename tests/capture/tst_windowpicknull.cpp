// Where the desktop lists no windows (BL_PLATFORM_BACKEND=null on a real X server stands for a
// Wayland desktop): Space says window selection is not available, and the area mode stays.
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "capturetestsupport.h"
#include "platform/backends.h"
#include "resources/resources.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>
#include <memory>

using BL::Test::firstDifference;
using BL::Test::xdotool;

class TestWindowPickNull : public QObject
{
    Q_OBJECT

private slots:
    void spaceTellsWindowsAreNotAvailable()
    {
        BL::Resources::registerResources();
        QCOMPARE(BL::Platform::backends().name(), QStringLiteral("null"));
        BL::Test::CPatternWindow pattern;
        pattern.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pattern));
        QWidget host;
        auto* single = new CCropScreen(&host, false);
        single->setDimColor(BL::Capture::dimColor());
        BL::Capture::COverlayHost overlays(&host, {single});
        QList<QPixmap> pictures;
        connect(single, &CCropScreen::finished, this, [&pictures](const QPixmap& p) { pictures << p; });

        overlays.showOverlay(single);
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QVERIFY(BL::Test::waitForSelectorUp(single));
        auto* hint = single->findChild<QLabel*>(QStringLiteral("hintLabel"));
        // Nothing offers what cannot be had.
        QVERIFY(!hint->text().contains(QStringLiteral("Space")));

        QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space")}), 0);
        QTRY_VERIFY(
            hint->text().contains(QStringLiteral("Window selection is not available on this desktop")));
        QVERIFY(hint->isVisible());
        QVERIFY(!single->isWindowMode());
        QVERIFY(hint->text().contains(QStringLiteral("Drag to select capture area")));

        // The area mode is as it was: a drag takes the area.
        QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("100"), QStringLiteral("100"),
                          QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                          QStringLiteral("300"), QStringLiteral("250"), QStringLiteral("mouseup"),
                          QStringLiteral("1")}),
                 0);
        QTRY_COMPARE(pictures.size(), 1);
        QCOMPARE(firstDifference(pictures[0].toImage(), pattern.pattern().copy(QRect(100, 100, 201, 151))),
                 -1);
    }
};

int main(int argc, char** argv)
{
    // Read at the first use of the backends, after the application exists.
    qputenv("BL_PLATFORM_BACKEND", "null");
    QApplication app(argc, argv);
    TestWindowPickNull test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windowpicknull.moc"
