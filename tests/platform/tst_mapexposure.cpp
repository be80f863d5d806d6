// The exposures of a window's mapping on a real X server: dropped for a watched window, whose
// frame Qt sends in full at the map notification; later exposures arrive as before.
#include "platform/mapexposure.h"

#include <QWidget>
#include <QWindow>
#include <QX11Info>
#include <QtTest>
#include <xcb/xcb.h>

namespace {

// The regions of the exposures a window gets, in order.
class CExposures : public QObject
{
public:
    explicit CExposures(QWindow* window) { window->installEventFilter(this); }

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Expose) {
            const QRegion region = static_cast<QExposeEvent*>(event)->region();
            if (!region.isEmpty())
                regions << region.boundingRect();
        }
        return false;
    }

    QVector<QRect> regions;
};

} // namespace

class TestMapExposure : public QObject
{
    Q_OBJECT

private slots:
    void exposuresOfTheMappingAreSentOnce_data()
    {
        QTest::addColumn<bool>("watched");
        QTest::newRow("watched") << true;
        QTest::newRow("not watched") << false;
    }

    void exposuresOfTheMappingAreSentOnce()
    {
        QFETCH(bool, watched);
        // As the overlay is made: a pop-up, which the window manager leaves alone.
        QWidget window(nullptr, Qt::Popup | Qt::FramelessWindowHint);
        window.setGeometry(100, 100, 300, 200);
        window.winId();
        if (watched)
            BL::Platform::skipExposuresOfMapping(window.windowHandle());
        CExposures exposures(window.windowHandle());
        const QRect whole(QPoint(0, 0), window.size());
        const auto wholeExposures = [&] {
            return int(std::count(exposures.regions.begin(), exposures.regions.end(), whole));
        };

        for (int showing = 0; showing < 2; ++showing) {
            exposures.regions.clear();
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            if (!watched) {
                // Qt's own at the map notification, then the server's for the same mapping.
                QTRY_COMPARE(wholeExposures(), 2);
            } else {
                // A later exposure of a part of the window, which must arrive: once it has, every
                // exposure of the mapping, made before it, has been dealt with.
                const QRect cleared(10, 20, 30, 40);
                xcb_clear_area(QX11Info::connection(), 1, xcb_window_t(window.winId()), int16_t(cleared.x()),
                               int16_t(cleared.y()), uint16_t(cleared.width()), uint16_t(cleared.height()));
                xcb_flush(QX11Info::connection());
                QTRY_VERIFY(exposures.regions.contains(cleared));
                QCOMPARE(wholeExposures(), 1);
                QCOMPARE(exposures.regions.last(), cleared);
            }
            window.hide();
        }
    }
};

QTEST_MAIN(TestMapExposure)
#include "tst_mapexposure.moc"
