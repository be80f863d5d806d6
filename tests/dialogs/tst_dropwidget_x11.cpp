// The drop widget as a real window under a window manager: dragged with the X pointer, kept
// above other windows, and shown again where it was.
#include "dialogs/dropacceptablewidget.h"
#include "resources/resources.h"
#include "x11session.h"

#include <QApplication>
#include <QCursor>
#include <QPalette>
#include <QScreen>
#include <QtTest>
#include <memory>

using BL::Test::run;
using BL::Test::windowGeometry;
using BL::Test::xdotool;

namespace {

// The X server, the window manager and the compositor are other processes; on a loaded
// machine they can take seconds to answer. This bounds the wait, it does not measure anything.
constexpr int kPatience = 20000;

QString idOf(const QWidget& w)
{
    return QString::number(w.winId());
}

void pointer(const QStringList& args)
{
    int code = -1;
    xdotool(args, &code);
    QCOMPARE(code, 0);
}

void moveTo(QPoint p)
{
    pointer({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y())});
}

// What the X server says about the window and the pointer, for failure messages.
QByteArray describe(const QWidget& w)
{
    return (run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), idOf(w)}) + QLatin1Char('\n') +
            xdotool({QStringLiteral("getmouselocation")}) + QLatin1Char('\n') +
            run(QStringLiteral("xprop"), {QStringLiteral("-id"), idOf(w), QStringLiteral("_NET_WM_STATE")}))
        .toLocal8Bit();
}

} // namespace

class TestDropWidgetX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void draggingFollowsThePointerWithoutJumps();
    void staysAboveAnActiveWindow();
    void hidingAndShowingKeepsThePlace();

private:
    std::unique_ptr<CDropAcceptableWidget> m_widget;
};

void TestDropWidgetX11::initTestCase()
{
    BL::Resources::registerResources();
    // Stacking and placement are the window manager's; on a busy machine it may still be starting.
    QTRY_VERIFY_WITH_TIMEOUT(
        run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
            .contains(QStringLiteral("window")),
        kPatience);
    m_widget = std::make_unique<CDropAcceptableWidget>();
    m_widget->move(200, 200);
    m_widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_widget.get(), kPatience));
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(*m_widget)), QRect(200, 200, 60, 60), kPatience);
    // Qt learns the final place from the window manager's notification, which may come later. A
    // window manager still starting up may place the window without telling Qt (Qt then keeps
    // the place relative to the frame, (0,0)); asking for the place again brings the notification.
    QDeadlineTimer agreed(kPatience);
    while (!agreed.hasExpired()) {
        if (QTest::qWaitFor([this] { return m_widget->pos() == QPoint(200, 200); }, 1000))
            break;
        m_widget->move(200, 200);
    }
    QCOMPARE(m_widget->pos(), QPoint(200, 200));
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(*m_widget)), QRect(200, 200, 60, 60), kPatience);
}

void TestDropWidgetX11::cleanupTestCase()
{
    m_widget.reset();
}

void TestDropWidgetX11::draggingFollowsThePointerWithoutJumps()
{
    CDropAcceptableWidget& w = *m_widget;
    // The window manager may still be settling the window: wait until it and Qt agree on the
    // place where the test put it, then drive the pointer in those coordinates.
    const QPoint start(200, 200);
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(w)).topLeft(), start, kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(w.pos(), start, kPatience);
    moveTo(start + QPoint(30, 30));
    QTRY_VERIFY2_WITH_TIMEOUT(w.cursor().shape() == Qt::SizeAllCursor, describe(w).constData(), kPatience);

    pointer({QStringLiteral("mousedown"), QStringLiteral("1")});
    // Small steps, each one waited for, so the pointer never leaves the window it drags.
    QPoint expected = start;
    const QList<QPoint> steps = {{4, 2}, {10, 5}, {12, 12}, {-6, 15}, {15, 0}};
    QPoint cursor = start + QPoint(30, 30);
    for (const QPoint& step : steps) {
        cursor += step;
        expected += step;
        moveTo(cursor);
        QTRY_COMPARE_WITH_TIMEOUT(w.pos(), expected, kPatience);
    }
    pointer({QStringLiteral("mouseup"), QStringLiteral("1")});
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(w)).topLeft(), expected, kPatience);

    // With no button held the pointer moves unseen inside the window; the next drag must
    // start from where its button goes down.
    moveTo(expected + QPoint(8, 50));
    pointer({QStringLiteral("mousedown"), QStringLiteral("1")});
    moveTo(expected + QPoint(11, 52));
    expected += QPoint(3, 2);
    QTRY_COMPARE_WITH_TIMEOUT(w.pos(), expected, kPatience);
    pointer({QStringLiteral("mouseup"), QStringLiteral("1")});
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(w)).topLeft(), expected, kPatience);

    moveTo({700, 700});
    QTRY_COMPARE_WITH_TIMEOUT(w.cursor().shape(), Qt::ArrowCursor, kPatience);
}

void TestDropWidgetX11::staysAboveAnActiveWindow()
{
    CDropAcceptableWidget& w = *m_widget;
    const QString state =
        run(QStringLiteral("xprop"), {QStringLiteral("-id"), idOf(w), QStringLiteral("_NET_WM_STATE")});
    QVERIFY2(state.contains(QStringLiteral("_NET_WM_STATE_ABOVE")), qPrintable(state));

    // A plain window that covers the widget and takes the focus.
    QWidget cover;
    cover.setAutoFillBackground(true);
    QPalette pal = cover.palette();
    pal.setColor(QPalette::Window, QColor(255, 0, 0));
    cover.setPalette(pal);
    cover.setGeometry(QRect(w.pos() - QPoint(100, 100), QSize(300, 300)));
    cover.show();
    QVERIFY(QTest::qWaitForWindowExposed(&cover, kPatience));
    cover.raise();
    cover.activateWindow();
    QTRY_VERIFY_WITH_TIMEOUT(cover.isActiveWindow(), kPatience);

    const QString coverId = idOf(cover);
    const QString widgetId = idOf(w);
    auto stackedAbove = [&]() {
        const QString list = run(QStringLiteral("xprop"),
                                 {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST_STACKING")});
        QStringList ids;
        for (const QString& hex : list.section(QLatin1Char('#'), 1).split(QLatin1Char(',')))
            ids << QString::number(hex.trimmed().toULongLong(nullptr, 16));
        const int coverAt = ids.indexOf(coverId);
        return coverAt >= 0 && ids.indexOf(widgetId) > coverAt;
    };
    QTRY_VERIFY_WITH_TIMEOUT(stackedAbove(), kPatience);

    // And what is on screen at its centre is its own picture, not the red window.
    const QPoint centre = w.geometry().center();
    auto centreIsNotRed = [&]() {
        const QImage shot =
            QGuiApplication::primaryScreen()->grabWindow(0, centre.x() - 2, centre.y() - 2, 5, 5).toImage();
        const QImage own = w.grab().toImage().copy(28, 28, 5, 5);
        return !shot.isNull() &&
               shot.convertToFormat(QImage::Format_RGB32) == own.convertToFormat(QImage::Format_RGB32);
    };
    QTRY_VERIFY2_WITH_TIMEOUT(centreIsNotRed(), describe(w).constData(), kPatience);
    const QImage outside =
        QGuiApplication::primaryScreen()->grabWindow(0, centre.x() + 60, centre.y(), 1, 1).toImage();
    QCOMPARE(QColor(outside.pixel(0, 0)), QColor(255, 0, 0));
}

// The drop-widget hotkey hides and shows it; the host stores x() and y() between starts.
void TestDropWidgetX11::hidingAndShowingKeepsThePlace()
{
    CDropAcceptableWidget& w = *m_widget;
    w.move(420, 333);
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(w)).topLeft(), QPoint(420, 333), kPatience);
    w.hide();
    QTRY_VERIFY_WITH_TIMEOUT(run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), idOf(w)})
                                 .contains(QStringLiteral("IsUnMapped")),
                             kPatience);
    QVERIFY(!w.isVisible());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w, kPatience));
    QTRY_COMPARE_WITH_TIMEOUT(windowGeometry(idOf(w)), QRect(420, 333, 60, 60), kPatience);
    QCOMPARE(w.pos(), QPoint(420, 333));
}

QTEST_MAIN(TestDropWidgetX11)
#include "tst_dropwidget_x11.moc"
