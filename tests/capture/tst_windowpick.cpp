// Picking a whole window in every selector on a real X server with openbox, which frames the
// test window, and xcompmgr, which keeps each window's pixels off screen.
#include "capture/comparisonshotscreen.h"
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "capturetestsupport.h"
#include "platform/screengrab.h"
#include "platform/singleapplication.h"
#include "platform/windowlist.h"
#include "resources/resources.h"

#include <QFrame>
#include <QLabel>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

using BL::Test::firstDifference;
using BL::Test::xdotool;

namespace {

// A managed window (framed by openbox) whose every pixel is known.
class CKnownWindow : public QWidget
{
public:
    CKnownWindow(const QSize& size, QRgb base)
    {
        m_pixels = QImage(size, QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                m_pixels.setPixel(x, y, base ^ qRgb((x * 7) & 0xff, (y * 5) & 0xff, (x ^ y) & 0x3f));
        setFixedSize(size);
        setAttribute(Qt::WA_OpaquePaintEvent);
        // Never focused, so that openbox draws its frame the same whoever has the focus (the
        // overlay takes it while it is up).
        setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    }
    const QImage& pixels() const { return m_pixels; }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_pixels); }

private:
    QImage m_pixels;
};

QStringList moveTo(const QPoint& p)
{
    return {QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y())};
}

QImage screenAt(const QRect& rect)
{
    return BL::Platform::grabScreenRect(rect);
}

// Where the X server has the window's top-left, asked outside Qt, whose own idea is what it
// last requested or heard and can lag behind the window manager.
QPoint serverPosition(WId window)
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)});
    xwininfo.waitForFinished();
    const QString info = QString::fromLocal8Bit(xwininfo.readAllStandardOutput());
    const QRegularExpression x(QStringLiteral("Absolute upper-left X:\\s+(-?\\d+)"));
    const QRegularExpression y(QStringLiteral("Absolute upper-left Y:\\s+(-?\\d+)"));
    return {x.match(info).captured(1).toInt(), y.match(info).captured(1).toInt()};
}

} // namespace

class TestWindowPick : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void spaceSwitchesModesAndTheHintSaysSo();
    void clickTakesTheFramedWindowExactly();
    void everySelectorTakesWindows();
    void coveredPartsOfThePickedWindow();
    void partOffScreenIsLeftOut();
    void listFollowsTheDesktopWithoutRereading();

private:
    void show(CSelectScreenArea* selector);
    void placeKnownWindow(const QPoint& topLeft);
    QString hint(const CSelectScreenArea* selector) const
    {
        return selector->findChild<QLabel*>(QStringLiteral("hintLabel"))->text();
    }
    QRect outline(const CSelectScreenArea* selector) const
    {
        return selector->findChild<QFrame*>(QStringLiteral("selectionFrame"))->geometry();
    }

    std::unique_ptr<CKnownWindow> m_known;
    std::unique_ptr<QWidget> m_host;
    BL::Capture::COverlayHost* m_overlays = nullptr;
    CCropScreen* m_single = nullptr;
    CComparisonShotScreen* m_comparison = nullptr;
    CCropScreen* m_local = nullptr;
    QList<QPixmap> m_pictures;
};

void TestWindowPick::initTestCase()
{
    BL::Resources::registerResources();
    QCOMPARE(BL::Platform::windowList().available(), true);
    m_known = std::make_unique<CKnownWindow>(QSize(300, 200), qRgb(200, 40, 90));

    m_host = std::make_unique<QWidget>();
    m_single = new CCropScreen(m_host.get(), false);
    m_comparison = new CComparisonShotScreen(m_host.get());
    m_local = new CCropScreen(m_host.get(), true);
    for (CSelectScreenArea* selector :
         std::initializer_list<CSelectScreenArea*>{m_single, m_comparison, m_local})
        selector->setDimColor(BL::Capture::dimColor());
    m_overlays = new BL::Capture::COverlayHost(m_host.get(), {m_single, m_comparison, m_local});
    for (CCropScreen* crop : {m_single, m_local})
        connect(
            crop, &CCropScreen::finished, this, [this](const QPixmap& picture) { m_pictures << picture; });
    connect(m_comparison, &CComparisonShotScreen::finished, this,
            [this](const QPixmap& first, const QPixmap& second) { m_pictures << first << second; });
}

void TestWindowPick::cleanupTestCase()
{
    m_host.reset();
    m_known.reset();
}

void TestWindowPick::init()
{
    placeKnownWindow(QPoint(200, 150));
    QVERIFY(!QTest::currentTestFailed());
}

void TestWindowPick::cleanup()
{
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
    m_host->close();
    QTRY_VERIFY(!m_host->isVisible());
    m_pictures.clear();
}

void TestWindowPick::show(CSelectScreenArea* selector)
{
    m_overlays->showOverlay(selector);
    QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    QVERIFY(BL::Test::waitForSelectorUp(selector));
}

// Shows the known window with its frame's top-left at `topLeft`, on top.
void TestWindowPick::placeKnownWindow(const QPoint& topLeft)
{
    m_known->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_known.get()));
    // Moved once openbox has said how wide it draws the frame: Qt places the frame by it.
    QTRY_VERIFY(m_known->frameGeometry() != m_known->geometry());
    const QPoint inFrame = m_known->geometry().topLeft() - m_known->frameGeometry().topLeft();
    m_known->move(topLeft);
    m_known->raise();
    // Qt takes a move as done at once, and the window manager's answers to earlier moves can
    // still set it back for a while: wait for the server, then for Qt to have heard all of it.
    QTRY_COMPARE(serverPosition(m_known->winId()), topLeft + inFrame);
    QGuiApplication::sync();
    QCOMPARE(m_known->frameGeometry().topLeft(), topLeft);
    // Painted: what the screen shows of the client area is the known pixels.
    const QRect client = m_known->geometry() & QGuiApplication::primaryScreen()->geometry();
    const QImage known = m_known->pixels().copy(client.translated(-m_known->geometry().topLeft()));
    QTRY_COMPARE(firstDifference(screenAt(client), known), -1);
}

void TestWindowPick::spaceSwitchesModesAndTheHintSaysSo()
{
    show(m_single);
    QVERIFY(hint(m_single).contains(QStringLiteral("Drag to select capture area")));
    QVERIFY(hint(m_single).contains(QStringLiteral("Press Space to pick a window")));
    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space")}), 0);
    QTRY_VERIFY(m_single->isWindowMode());
    QVERIFY(hint(m_single).contains(QStringLiteral("Click a window to capture it")));
    QVERIFY(hint(m_single).contains(QStringLiteral("Space — to select an area")));
    QVERIFY(!hint(m_single).contains(QStringLiteral("Drag to select")));

    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space")}), 0);
    QTRY_VERIFY(!m_single->isWindowMode());
    QVERIFY(hint(m_single).contains(QStringLiteral("Drag to select capture area")));
    // Back in the area mode a click on the window still takes one pixel, not the window.
    const QPoint inside = m_known->geometry().center();
    QCOMPARE(xdotool(moveTo(inside) << QStringLiteral("click") << QStringLiteral("1")), 0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), QSize(1, 1));

    // Every showing starts in the area mode.
    show(m_single);
    QVERIFY(!m_single->isWindowMode());
}

void TestWindowPick::clickTakesTheFramedWindowExactly()
{
    const QRect frame = m_known->frameGeometry();
    const QImage expected = screenAt(frame);
    QCOMPARE(expected.copy(QRect(m_known->geometry().topLeft() - frame.topLeft(), m_known->size())),
             m_known->pixels());

    show(m_single);
    QCOMPARE(xdotool(moveTo(frame.center()) << QStringLiteral("key") << QStringLiteral("space")), 0);
    QTRY_VERIFY(m_single->isWindowMode());
    // Outlined: the frame on the window, the bands dimming everything else.
    QTRY_COMPARE(outline(m_single), frame);
    QCOMPARE(m_single->findChild<QWidget*>(QStringLiteral("topBand"))->geometry().bottom(), frame.top() - 1);
    QCOMPARE(m_single->findChild<QWidget*>(QStringLiteral("leftBand"))->geometry().right(), frame.left());

    // A press and release with a drag in between still takes the window under the release.
    QCOMPARE(xdotool(moveTo(frame.topLeft() + QPoint(40, 40))
                     << QStringLiteral("mousedown") << QStringLiteral("1")
                     << moveTo(frame.topLeft() + QPoint(60, 50)) << QStringLiteral("mouseup")
                     << QStringLiteral("1")),
             0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), frame.size());
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected), -1);
    QTRY_VERIFY(!m_host->isVisible());
}

void TestWindowPick::everySelectorTakesWindows()
{
    const QRect frame = m_known->frameGeometry();
    const QImage expected = screenAt(frame);
    QCOMPARE(xdotool(moveTo(frame.center())), 0);

    // The local shot, with Enter.
    show(m_local);
    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space"), QStringLiteral("Return")}), 0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected), -1);
    QTRY_VERIFY(!m_host->isVisible());

    // The comparison: a window, then (its mode starting over) an area.
    m_pictures.clear();
    QSignalSpy firstShot(m_comparison, &CComparisonShotScreen::firstShot);
    show(m_comparison);
    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space")}), 0);
    QTRY_VERIFY(m_comparison->isWindowMode());
    QCOMPARE(xdotool({QStringLiteral("click"), QStringLiteral("1")}), 0);
    QTRY_COMPARE(firstShot.count(), 1);
    QVERIFY(BL::Test::waitForSelectorUp(m_comparison));
    QVERIFY(!m_comparison->isWindowMode());
    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space"), QStringLiteral("Return")}), 0);
    QTRY_COMPARE(m_pictures.size(), 2);
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected), -1);
    QCOMPARE(firstDifference(m_pictures[1].toImage(), expected), -1);
}

void TestWindowPick::coveredPartsOfThePickedWindow()
{
    const QRect frame = m_known->frameGeometry();
    const QImage own = screenAt(frame);
    // A plain window over the known one's lower right quarter.
    QWidget cover(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    cover.setAutoFillBackground(true);
    QPalette palette = cover.palette();
    palette.setColor(QPalette::Window, QColor(10, 250, 10));
    cover.setPalette(palette);
    cover.setGeometry(QRect(frame.center(), frame.size() / 2 + QSize(40, 40)));
    cover.show();
    QVERIFY(QTest::qWaitForWindowExposed(&cover));
    QTRY_COMPARE(QColor(screenAt(QRect(frame.bottomRight(), QSize(1, 1))).pixel(0, 0)), QColor(10, 250, 10));
    const QImage seen = screenAt(frame);

    show(m_single);
    QCOMPARE(xdotool(moveTo(frame.topLeft() + QPoint(30, 30))
                     << QStringLiteral("key") << QStringLiteral("space") << QStringLiteral("click")
                     << QStringLiteral("1")),
             0);
    QTRY_COMPARE(m_pictures.size(), 1);
    // The window's own pixels, as if nothing covered it.
    QVERIFY(firstDifference(seen, own) != -1);
    QCOMPARE(firstDifference(m_pictures[0].toImage(), own), -1);
}

void TestWindowPick::partOffScreenIsLeftOut()
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    placeKnownWindow(QPoint(screen.right() - 120, 300));
    QVERIFY(!QTest::currentTestFailed());
    const QRect frame = m_known->frameGeometry();
    QVERIFY2(frame.right() > screen.right(), "the window manager kept the window on the screen");
    const QRect shown = frame & screen;
    const QImage expected = screenAt(shown);

    show(m_single);
    QCOMPARE(xdotool(moveTo(shown.center()) << QStringLiteral("key") << QStringLiteral("space")
                                            << QStringLiteral("click") << QStringLiteral("1")),
             0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), shown.size());
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected), -1);
}

void TestWindowPick::listFollowsTheDesktopWithoutRereading()
{
    const QPoint rest(900, 600);
    QVERIFY(!m_known->frameGeometry().contains(rest));
    QCOMPARE(xdotool(moveTo(rest)), 0);
    show(m_single);
    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("space")}), 0);
    QTRY_VERIFY(m_single->isWindowMode());
    // Nothing but the desktop under the crosshair: nothing outlined, everything dimmed.
    QVERIFY(outline(m_single).isEmpty());
    const int reads = BL::Platform::windowList().fullReads();

    // Moves of the mouse ask nothing of the server.
    for (int i = 0; i < 20; ++i)
        QCOMPARE(xdotool(moveTo(rest + QPoint(i * 7, i * 3))), 0);
    QCOMPARE(xdotool(moveTo(rest)), 0);

    // The known window moves under the resting crosshair, and is outlined there.
    m_known->move(rest - QPoint(100, 80));
    QTRY_COMPARE(outline(m_single), m_known->frameGeometry());
    QVERIFY(m_known->frameGeometry().contains(rest));
    // Unmapped, it is gone from the list.
    m_known->hide();
    QTRY_VERIFY(outline(m_single).isEmpty());
    QCOMPARE(BL::Platform::windowList().fullReads(), reads);
}

// The program's application: Qt closes every popup when the application loses the focus, and
// openbox moves the focus about as the test's own window comes and goes; the program keeps its
// overlay through that, and so must the overlay here.
int main(int argc, char** argv)
{
    CSingleApplication app(argc, argv);
    TestWindowPick test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_windowpick.moc"
