// The shared-memory screen grab against Qt's own grab on a real X server.
#include "corewindow_x11.h"
#include "platform/screengrab.h"
#include "platform/x11backends.h"

#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QtTest>
#include <X11/Xlib.h>
#include <memory>

namespace {

// A frameless window of one colour, shown.
std::unique_ptr<QWidget> solidWindow(const QRect& geometry, const QColor& colour)
{
    auto window = std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint);
    window->setGeometry(geometry);
    window->setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, colour);
    window->setPalette(palette);
    window->show();
    return window;
}

} // namespace

class TestScreenGrab : public QObject
{
    Q_OBJECT

private slots:
    // Run on a display reached over TCP, every grab below goes through the socket.
    void displayIsAsExpected()
    {
        const bool remote = qEnvironmentVariableIsSet("BL_EXPECT_REMOTE_DISPLAY");
        QCOMPARE(BL::Platform::isLocalX11Display(qgetenv("DISPLAY")), !remote);
    }

    void matchesQtGrabPixelForPixel()
    {
        const auto window = solidWindow(QRect(100, 100, 300, 200), QColor(12, 200, 77));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area(window->mapToGlobal(QPoint(0, 0)) - QPoint(20, 10), QSize(150, 90));
        QTRY_COMPARE(screen->grabWindow(0, area.x() + 40, area.y() + 30, 1, 1).toImage().pixelColor(0, 0),
                     QColor(12, 200, 77));

        for (int round = 0; round < 2; ++round) {
            const QImage fast = BL::Platform::grabScreenRect(area);
            const QImage reference =
                screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
            QCOMPARE(fast.size(), area.size());
            QCOMPARE(fast.convertToFormat(QImage::Format_RGB32),
                     reference.convertToFormat(QImage::Format_RGB32));
            // Dropping the kept buffers must not break the next grab.
            if (round == 0)
                BL::Platform::releaseScreenGrabBuffers();
        }
        // A smaller grab after a bigger one reuses the buffer with the right stride.
        const QImage small =
            BL::Platform::grabScreenRect(QRect(area.topLeft() + QPoint(25, 15), QSize(7, 5)));
        QCOMPARE(small.size(), QSize(7, 5));
        QCOMPARE(small.pixelColor(6, 4), QColor(12, 200, 77));
    }

    // Made ready as an overlay opens, the buffers must give the screen's pixels, not the zeros
    // they were touched with, to small looks (the hand-off marker) and to the shot alike; the
    // shot's picture lives on in that memory after the buffers are dropped.
    void preparedGrabsMatchQtGrab()
    {
        const auto window = solidWindow(QRect(150, 120, 500, 400), QColor(201, 31, 90));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area(window->mapToGlobal(QPoint(0, 0)) - QPoint(30, 20), QSize(460, 380));
        QTRY_COMPARE(screen->grabWindow(0, area.x() + 100, area.y() + 100, 1, 1).toImage().pixelColor(0, 0),
                     QColor(201, 31, 90));
        const QImage reference = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                                     .toImage()
                                     .convertToFormat(QImage::Format_RGB32);

        for (int round = 0; round < 2; ++round) {
            BL::Platform::prepareScreenGrab();
            const QImage probe =
                BL::Platform::grabScreenRect(QRect(area.topLeft() + QPoint(60, 50), QSize(4, 4)));
            QCOMPARE(probe.pixelColor(3, 3), QColor(201, 31, 90));
            QImage shot = BL::Platform::grabScreenRect(area);
            QCOMPARE(shot.size(), area.size());
            BL::Platform::releaseScreenGrabBuffers();
            QCOMPARE(shot.convertToFormat(QImage::Format_RGB32), reference);
            // Written to in place, as the encoder's conversions may: the memory is the picture's own.
            shot.setPixel(0, 0, qRgb(1, 2, 3));
            QCOMPARE(shot.pixel(0, 0), qRgb(1, 2, 3));
        }
        // Without a preparation the grab goes on as before.
        QCOMPARE(BL::Platform::grabScreenRect(area).convertToFormat(QImage::Format_RGB32), reference);
    }

    // The server leaves the fourth byte of a depth-24 pixel as it likes (0 under a window it
    // draws itself); a picture of RGB32 must carry 0xff there, or encoders that read the bytes
    // see a transparent picture.
    void grabsAreOpaqueOverServerDrawnWindows()
    {
        const QRect area(300, 250, 120, 80);
        const BL::Test::CCoreWindow window(area, qRgb(0x65, 0x43, 0x21));
        QTRY_COMPARE(BL::Platform::grabScreenRect(area.adjusted(10, 10, -10, -10)).pixel(5, 5) & 0xffffffu,
                     0x654321u);
        for (int round = 0; round < 2; ++round) {
            const QImage image = BL::Platform::grabScreenRect(area);
            QCOMPARE(image.size(), area.size());
            QCOMPARE(image.format(), QImage::Format_RGB32);
            int transparent = 0;
            for (int y = 0; y < image.height(); ++y) {
                const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
                for (int x = 0; x < image.width(); ++x) {
                    if ((line[x] >> 24) != 0xff)
                        ++transparent;
                    QCOMPARE(line[x] & 0xffffffu, 0x654321u);
                }
            }
            QCOMPARE(transparent, 0);
            // The second round goes through a segment that already held a picture.
        }
    }

    void onlyLocalDisplaysShareMemory()
    {
        for (const char* local : {":0", ":12.0", "unix:3", "/tmp/.X11-unix/X0:0"})
            QVERIFY2(BL::Platform::isLocalX11Display(local), local);
        for (const char* remote :
             {"localhost:10.0", "127.0.0.1:0", "remote.example:0", "[::1]:1", "", "garbage"})
            QVERIFY2(!BL::Platform::isLocalX11Display(remote), remote);
    }

    void areasOffTheScreenAreRefused()
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QVERIFY(BL::Platform::grabScreenRect(QRect(screen.right() - 5, 0, 20, 20)).isNull());
        QVERIFY(BL::Platform::grabScreenRect(QRect(-1, 0, 10, 10)).isNull());
        QVERIFY(BL::Platform::grabScreenRect(QRect()).isNull());
    }

    // Last: it takes the compositing manager's selection from the session's xcompmgr, which
    // goes on drawing but no longer owns it.
    void compositorIsFollowedAsItComesAndGoes()
    {
        const auto close = [](Display* display) { XCloseDisplay(display); };
        const std::unique_ptr<Display, decltype(close)> other(XOpenDisplay(nullptr), close);
        QVERIFY(other);
        Display* dpy = other.get();
        const Atom selection = XInternAtom(
            dpy, QByteArray("_NET_WM_CM_S" + QByteArray::number(DefaultScreen(dpy))).constData(), False);
        for (int round = 0; round < 2; ++round) {
            const Window owner = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
            XSetSelectionOwner(dpy, selection, owner, CurrentTime);
            XSync(dpy, False);
            QCOMPARE(XGetSelectionOwner(dpy, selection), owner);
            QTRY_VERIFY(BL::Platform::showsDesktopThroughOverlays());
            XDestroyWindow(dpy, owner);
            XSync(dpy, False);
            QTRY_VERIFY(!BL::Platform::showsDesktopThroughOverlays());
        }
    }
};

QTEST_MAIN(TestScreenGrab)
#include "tst_screengrab.moc"
