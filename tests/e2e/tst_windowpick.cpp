// Picking a whole window with the real program and the real service on a private X session with
// openbox, which frames the window: Space, a click, and the uploaded picture must be exactly the
// frame and contents as the screen shows them. Run with xcompmgr and without it: with one, a
// covered part of the window comes out as the window drew it; without one, the server keeps no
// such copy, and the picture is what the person saw there. On the nested multi-monitor session
// (BL_PROGRAM_SCALES gives the program's factor per head, comma-separated) the window lies on the
// scaled monitor and the picture must hold its native pixels.
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <memory>

using namespace BL::Test;

namespace {

constexpr int kXTimeoutMs = 15000;

// A window managed (and so framed) by openbox, whose every pixel is known.
class CKnownWindow : public QWidget
{
public:
    explicit CKnownWindow(const QSize& size)
    {
        m_pixels = QImage(size, QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                m_pixels.setPixel(x, y, qRgb(255 - (x * 3) % 256, (y * 7) % 256, ((x ^ y) * 5) % 256));
        setFixedSize(size);
        setAttribute(Qt::WA_OpaquePaintEvent);
        // Never focused, so that openbox draws its frame the same before and during the shot.
        setWindowFlag(Qt::WindowDoesNotAcceptFocus);
        setWindowTitle(QStringLiteral("known pixels"));
    }
    const QImage& pixels() const { return m_pixels; }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_pixels); }

private:
    QImage m_pixels;
};

// The test's own look at the server, on a connection of its own: the root window's pixels and
// the frame openbox says it draws.
class CServerView
{
public:
    CServerView() : m_display(XOpenDisplay(nullptr)) {}
    ~CServerView()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    bool isOpen() const { return m_display != nullptr; }

    QSize rootSize() const
    {
        return QSize(DisplayWidth(m_display, DefaultScreen(m_display)),
                     DisplayHeight(m_display, DefaultScreen(m_display)));
    }

    bool compositorRuns() const
    {
        const Atom selection = XInternAtom(m_display, "_NET_WM_CM_S0", False);
        return XGetSelectionOwner(m_display, selection) != None;
    }

    // The client window's outer rectangle: its place on the root widened by _NET_FRAME_EXTENTS.
    QRect frameOf(WId client) const
    {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        const Atom extents = XInternAtom(m_display, "_NET_FRAME_EXTENTS", False);
        if (XGetWindowProperty(m_display, Window(client), extents, 0, 4, False, XA_CARDINAL, &type, &format,
                               &count, &after, &data) != Success ||
            count != 4) {
            if (data)
                XFree(data);
            return {};
        }
        long border[4];
        std::copy_n(reinterpret_cast<const long*>(data), 4, border); // left, right, top, bottom
        XFree(data);
        XWindowAttributes attributes;
        int x = 0;
        int y = 0;
        Window child = None;
        if (!XGetWindowAttributes(m_display, Window(client), &attributes) ||
            !XTranslateCoordinates(m_display, Window(client), DefaultRootWindow(m_display), 0, 0, &x, &y,
                                   &child))
            return {};
        return QRect(int(x - border[0]), int(y - border[2]), int(attributes.width + border[0] + border[1]),
                     int(attributes.height + border[2] + border[3]));
    }

    QImage root(const QRect& rect) const
    {
        XImage* raw = XGetImage(m_display, DefaultRootWindow(m_display), rect.x(), rect.y(), rect.width(),
                                rect.height(), AllPlanes, ZPixmap);
        if (!raw)
            return {};
        QImage image(rect.size(), QImage::Format_RGB32);
        for (int y = 0; y < rect.height(); ++y)
            for (int x = 0; x < rect.width(); ++x)
                image.setPixel(x, y, QRgb(XGetPixel(raw, x, y)) | 0xff000000u);
        XDestroyImage(raw);
        return image;
    }

private:
    Display* m_display;
};

QString imageMismatch(const QImage& got, const QImage& want)
{
    if (got.size() != want.size())
        return QStringLiteral("size %1x%2 instead of %3x%4")
            .arg(got.width())
            .arg(got.height())
            .arg(want.width())
            .arg(want.height());
    for (int y = 0; y < want.height(); ++y)
        for (int x = 0; x < want.width(); ++x)
            if (got.pixel(x, y) != want.pixel(x, y))
                return QStringLiteral("pixel %1,%2: %3 instead of %4")
                    .arg(x)
                    .arg(y)
                    .arg(QColor(got.pixel(x, y)).name(), QColor(want.pixel(x, y)).name());
    return {};
}

} // namespace

class TestWindowPickFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void framedWindowIsUploadedExactly();
    void partOffScreenIsLeftOut();
    void coveredWindowAsThePersonSeesIt();
    void areaShotIsWhatTheScreenShowed();

private:
    void placeKnownWindow(const QPoint& topLeft);
    // Space and a click at `at` in the single shot's overlay; the uploaded picture. With
    // `seenPart`, first waits until the overlay, in window mode, shows that part of the screen
    // (native coordinates) as `seen` has it.
    QImage pickAndUpload(const QPoint& at, const QRect& seenPart = {}, const QImage& seen = {});
    // The next upload's picture, once the link replaced `clipboardBefore`.
    QImage uploadedPicture(const QString& clipboardBefore);

    QTemporaryDir m_root;
    QTemporaryDir m_user;
    CServiceProcess m_service;
    CServerView m_server;
    std::unique_ptr<CPatternWindow> m_pattern;
    std::unique_ptr<CKnownWindow> m_known;
    std::unique_ptr<CProgram> m_program;
    int m_uploads = 0;
    QRect m_screen;      // the monitor the window is shown on, in native pixels
    int m_ratio = 1;     // the program's scale factor there
    QPoint m_seenOrigin; // where pickAndUpload's `seen` lies on the screen
};

void TestWindowPickFlow::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(m_server.isOpen());
    // The session says which kind it is; wait for xcompmgr to have taken over, where it runs.
    if (qEnvironmentVariable("BL_EXPECT_COMPOSITOR") != QLatin1String("0"))
        QTRY_VERIFY_WITH_TIMEOUT(m_server.compositorRuns(), kXTimeoutMs);
    else
        QVERIFY(!m_server.compositorRuns());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
    QProcessEnvironment env = privateUserEnvironment(m_user.path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    // The test itself runs unscaled, so that its coordinates are the server's native ones; only
    // the program is scaled, and the window goes to the first scaled monitor.
    m_screen = QGuiApplication::primaryScreen()->geometry();
    const QStringList scales = qEnvironmentVariable("BL_PROGRAM_SCALES").split(',', Qt::SkipEmptyParts);
    if (!scales.isEmpty()) {
        const QList<QScreen*> screens = QGuiApplication::screens();
        QCOMPARE(scales.size(), screens.size());
        env.insert(QStringLiteral("QT_SCREEN_SCALE_FACTORS"), scales.join(';'));
        const auto scaled =
            std::find_if(scales.cbegin(), scales.cend(), [](const QString& f) { return f.toDouble() != 1; });
        QVERIFY(scaled != scales.cend());
        m_screen = screens.at(int(scaled - scales.cbegin()))->geometry();
        m_ratio = scaled->toInt();
        QCOMPARE(double(m_ratio), scaled->toDouble());
    }
    m_pattern = std::make_unique<CPatternWindow>();
    m_pattern->setGeometry(QRect(QPoint(0, 40), m_server.rootSize() - QSize(0, 40)));
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));
    m_known = std::make_unique<CKnownWindow>(QSize(320, 210));

    m_program = startDockedProgram(
        m_user.path(), env,
        {{QStringLiteral("show_pre_help"), true}, {QStringLiteral("show_paste_help"), true}});
    QVERIFY(m_program);
}

void TestWindowPickFlow::cleanupTestCase()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    m_known.reset();
    m_pattern.reset();
    m_service.stop();
}

void TestWindowPickFlow::init()
{
    placeKnownWindow(m_screen.topLeft() + QPoint(220, 160));
}

// Shows the known window with its frame's top-left at `topLeft`, on top and painted.
void TestWindowPickFlow::placeKnownWindow(const QPoint& topLeft)
{
    m_known->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_known.get()));
    QTRY_VERIFY_WITH_TIMEOUT(m_server.frameOf(m_known->winId()).size() != m_known->size(), kXTimeoutMs);
    m_known->move(topLeft);
    m_known->raise();
    QTRY_COMPARE_WITH_TIMEOUT(m_server.frameOf(m_known->winId()).topLeft(), topLeft, kXTimeoutMs);
    // Painted there; asked anew each time, as Qt may learn of the move after the server tells us.
    const auto painted = [this] {
        const QRect client = m_known->geometry() & m_screen;
        const QImage known = m_known->pixels().copy(client.translated(-m_known->geometry().topLeft()));
        return imageMismatch(m_server.root(client), known);
    };
    QTRY_VERIFY2_WITH_TIMEOUT(painted().isEmpty(), qPrintable(painted()), kXTimeoutMs);
}

QImage TestWindowPickFlow::pickAndUpload(const QPoint& at, const QRect& seenPart, const QImage& seen)
{
    const QString before = clipboard();
    // The overlay opens on the monitor under the pointer.
    xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "key", "ctrl+alt+p"});
    if (!QTest::qWaitFor([] { return programOverlayShown(); }, kXTimeoutMs))
        return {};
    // Events arrive in order: the move, Space (which reads the window list), then the click.
    xdotool({"mousemove", QString::number(at.x() + 1), QString::number(at.y()), "key", "space"});
    if (!seenPart.isNull()) {
        const QImage want = seen.copy(seenPart);
        const bool shown = QTest::qWaitFor(
            [&] { return imageMismatch(m_server.root(seenPart.translated(m_seenOrigin)), want).isEmpty(); },
            kXTimeoutMs);
        if (!shown) {
            qWarning().noquote() << "the overlay does not show the window as it was:"
                                 << imageMismatch(m_server.root(seenPart.translated(m_seenOrigin)), want);
            return {};
        }
    }
    xdotool({"click", "1"});
    return uploadedPicture(before);
}

QImage TestWindowPickFlow::uploadedPicture(const QString& clipboardBefore)
{
    ++m_uploads;
    const bool uploaded = QTest::qWaitFor(
        [this] { return m_program->errorOutput().count("Screenshot succesfully uploaded.") == m_uploads; },
        kXTimeoutMs);
    const QString link = clipboard();
    if (!uploaded || link == clipboardBefore)
        return {};
    const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
    return picture.status == 200 ? QImage::fromData(picture.body, "PNG") : QImage();
}

void TestWindowPickFlow::framedWindowIsUploadedExactly()
{
    const QRect frame = m_server.frameOf(m_known->winId());
    QVERIFY2(frame.size() != m_known->size(), "openbox drew no frame");
    const QImage expected = m_server.root(frame);
    // The contents are the window's own, inside the frame openbox reports.
    const QRect client(m_known->geometry().topLeft() - frame.topLeft(), m_known->size());
    QCOMPARE(expected.copy(client), m_known->pixels());

    const QImage uploaded = pickAndUpload(frame.center());
    QVERIFY(!uploaded.isNull());
    const QString mismatch = imageMismatch(uploaded.convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestWindowPickFlow::partOffScreenIsLeftOut()
{
    const QRect screen = m_screen;
    placeKnownWindow(QPoint(screen.right() - 140, screen.top() + 420));
    QVERIFY(!QTest::currentTestFailed());
    const QRect frame = m_server.frameOf(m_known->winId());
    QVERIFY2(frame.right() > screen.right(), "the window manager kept the window on the screen");
    const QRect shown = frame & screen;
    const QImage expected = m_server.root(shown);

    const QImage uploaded = pickAndUpload(shown.center());
    QVERIFY(!uploaded.isNull());
    const QString mismatch = imageMismatch(uploaded.convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestWindowPickFlow::coveredWindowAsThePersonSeesIt()
{
    const QRect frame = m_server.frameOf(m_known->winId());
    const QImage uncovered = m_server.root(frame);
    // A plain window over the known one's upper right part.
    QWidget cover(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    cover.setAutoFillBackground(true);
    QPalette palette = cover.palette();
    palette.setColor(QPalette::Window, QColor(10, 250, 10));
    cover.setPalette(palette);
    cover.setGeometry(frame.center().x(), frame.top() + 30, frame.width() / 2 + 40, 100);
    cover.show();
    QVERIFY(QTest::qWaitForWindowExposed(&cover));
    QTRY_COMPARE_WITH_TIMEOUT(
        QColor(m_server.root(QRect(QPoint(frame.right(), frame.top() + 60), QSize(1, 1))).pixel(0, 0)),
        QColor(10, 250, 10), kXTimeoutMs);
    const QImage seen = m_server.root(frame);
    QVERIFY(!imageMismatch(seen, uncovered).isEmpty());

    // While the window is outlined, the overlay shows it as it is on the screen, cover and all
    // (the part clear of the crosshair, the outline and the hint, and below the title bar,
    // which openbox draws anew as the overlay takes the input).
    const int clientTop = m_known->geometry().top() - frame.top();
    const QRect watched(80, clientTop, frame.width() - 84, frame.height() / 2 - clientTop);
    m_seenOrigin = frame.topLeft();
    const QImage uploaded = pickAndUpload(frame.topLeft() + QPoint(40, 40), watched, seen);
    QVERIFY(!uploaded.isNull());
    // With a compositor the window's own pixels, as if nothing covered it; without one, what
    // the screen showed there, cover included.
    const QImage& expected = m_server.compositorRuns() ? uncovered : seen;
    const QString mismatch = imageMismatch(uploaded.convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestWindowPickFlow::areaShotIsWhatTheScreenShowed()
{
    // A plain drag across the window's corner: the area mode as ever (and, without a compositor,
    // cut from the picture the overlay showed). The corners lie an even number of native pixels
    // from the monitor's origin, so that a scaled monitor's logical pixels cover them exactly.
    const QRect frame = m_server.frameOf(m_known->winId());
    const QPoint from = frame.topLeft() - QPoint(40, 30);
    const QPoint to = frame.topLeft() + QPoint(100, 80);
    const QRect area(from, to + QPoint(m_ratio - 1, m_ratio - 1));
    const QImage expected = m_server.root(area);

    const QString before = clipboard();
    xdotool({"mousemove", QString::number(from.x()), QString::number(from.y()), "key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag(from, to);
    const QImage uploaded = uploadedPicture(before);
    QVERIFY(!uploaded.isNull());
    const QString mismatch = imageMismatch(uploaded.convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

QTEST_MAIN(TestWindowPickFlow)
#include "tst_windowpick.moc"
