// The hand-off from the overlay to the grab under live content: another process repaints the
// whole screen at 60 frames per second, the compositor is on, and no picture may hold any
// part of the overlay (dim bands, frame, crosshair).
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "capturetestsupport.h"
#include "platform/singleapplication.h"
#include "resources/resources.h"

#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <memory>

using BL::Test::xdotool;

namespace {

const QLatin1String kLiveArgument("--live-window");

// Bright, far apart, and none of them a dimmed form of another.
const QVector<QRgb> kLiveColors = {qRgb(250, 60, 40),  qRgb(40, 230, 70),  qRgb(60, 90, 250),
                                   qRgb(250, 230, 40), qRgb(230, 60, 230), qRgb(40, 230, 230)};

// A full-screen window showing the next colour every 16 ms, in its own process as a video is.
class CLiveWindow : public QWidget
{
public:
    CLiveWindow() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(QGuiApplication::primaryScreen()->geometry());
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_frame = (m_frame + 1) % kLiveColors.size();
            repaint();
        });
        m_timer.start(16);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), QColor(kLiveColors[m_frame])); }

private:
    QTimer m_timer;
    int m_frame = 0;
};

// What the dim band makes of a live colour.
QRgb dimmed(QRgb c)
{
    const QColor dim = BL::Capture::dimColor();
    const auto mix = [](int under, int over) { return (under * (255 - 110) + over * 110 + 127) / 255; };
    return qRgb(mix(qRed(c), dim.red()), mix(qGreen(c), dim.green()), mix(qBlue(c), dim.blue()));
}

// The compositor rounds the blend its own way.
bool near(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= 3 && std::abs(qGreen(a) - qGreen(b)) <= 3 &&
           std::abs(qBlue(a) - qBlue(b)) <= 3;
}

} // namespace

class TestHandOff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void fiftyShotsOverLiveContentHoldNoOverlay();

private:
    QProcess m_live;
    std::unique_ptr<QWidget> m_host;
    BL::Capture::COverlayHost* m_overlays = nullptr;
    CCropScreen* m_single = nullptr;
};

void TestHandOff::initTestCase()
{
    BL::Resources::registerResources();
    m_live.setProcessChannelMode(QProcess::ForwardedChannels);
    m_live.start(QCoreApplication::applicationFilePath(), {kLiveArgument});
    QVERIFY(m_live.waitForStarted());
    // Live once two grabs in a row show two of its colours.
    QScreen* screen = QGuiApplication::primaryScreen();
    const auto colourAt = [screen] { return screen->grabWindow(0, 640, 400, 1, 1).toImage().pixel(0, 0); };
    QTRY_VERIFY_WITH_TIMEOUT(kLiveColors.contains(colourAt()), 10000);

    m_host = std::make_unique<QWidget>();
    m_single = new CCropScreen(m_host.get(), false);
    m_single->setDimColor(BL::Capture::dimColor());
    m_overlays = new BL::Capture::COverlayHost(m_host.get(), {m_single});
}

void TestHandOff::cleanupTestCase()
{
    m_live.kill();
    m_live.waitForFinished();
}

void TestHandOff::fiftyShotsOverLiveContentHoldNoOverlay()
{
    QVector<QRgb> tint;
    for (QRgb c : kLiveColors) {
        tint << dimmed(c);
        QVERIFY(!kLiveColors.contains(dimmed(c)));
    }
    QList<QPixmap> pictures;
    connect(m_single, &CCropScreen::finished, this,
            [&pictures](const QPixmap& picture) { pictures << picture; });
    int dirty = 0;
    int reshown = 0;
    QString report;
    for (int shot = 0; shot < 50; ++shot) {
        const QPoint from(100 + shot * 7, 80 + shot * 5);
        const QPoint to(from + QPoint(200 + shot * 3, 150 + shot * 2));
        QCOMPARE(
            xdotool({QStringLiteral("mousemove"), QString::number(from.x() + 20), QString::number(from.y())}),
            0);
        pictures.clear();
        // Under load the popup host is now and then closed again right after it was shown,
        // before any input (seen with the code before this test too); show it once more then.
        // What is tested here is the hand-off after the drag.
        const QWidget* cross = m_single->findChild<QWidget*>(QStringLiteral("cross"));
        for (int attempt = 0; attempt < 3 && !cross->isVisible(); ++attempt) {
            if (attempt > 0) {
                ++reshown;
                qInfo("shot %d: the host closed right after showing; showing it again", shot);
            }
            m_overlays->showOverlay(m_single);
            QTRY_VERIFY_WITH_TIMEOUT(cross->isVisible() || !m_host->isVisible(), 10000);
        }
        QVERIFY2(cross->isVisible(),
                 qPrintable(QStringLiteral("shot %1: the overlay did not stay up").arg(shot)));
        QCoreApplication::sendPostedEvents(m_single, QEvent::MetaCall); // its queued arrangement
        // Let the compositor show the overlay, dim bands and all, before the drag.
        QTest::qWait(50);
        QCOMPARE(xdotool({QStringLiteral("mousemove"), QString::number(from.x()), QString::number(from.y()),
                          QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                          QString::number(to.x()), QString::number(to.y()), QStringLiteral("mouseup"),
                          QStringLiteral("1")}),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(pictures.size(), 1, 10000);
        QCOMPARE(pictures[0].size(), QSize(to.x() - from.x() + 1, to.y() - from.y() + 1));
        // Every pixel must be one of the live colours: anything else is the overlay, or a blend of it.
        const QImage seen = pictures[0].toImage().convertToFormat(QImage::Format_RGB32);
        int tinted = 0;
        int foreign = 0;
        for (int y = 0; y < seen.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(seen.constScanLine(y));
            for (int x = 0; x < seen.width(); ++x)
                if (std::any_of(tint.begin(), tint.end(), [&](QRgb t) { return near(line[x], t); }))
                    ++tinted;
                else if (!kLiveColors.contains(line[x]))
                    ++foreign;
        }
        if (tinted || foreign) {
            ++dirty;
            report += QStringLiteral(" shot %1: %2 tinted, %3 other;").arg(shot).arg(tinted).arg(foreign);
        }
        QTRY_VERIFY(!m_host->isVisible());
    }
    qInfo("%d of 50 showings needed a second show", reshown);
    QVERIFY2(dirty == 0, qPrintable(QString::number(dirty) +
                                    QStringLiteral(" of 50 pictures hold the overlay:") + report));
}

int main(int argc, char** argv)
{
    const auto isLive = [](const char* argument) { return kLiveArgument == QLatin1String(argument); };
    if (std::any_of(argv, argv + argc, isLive)) {
        QApplication app(argc, argv);
        CLiveWindow window;
        window.show();
        return app.exec();
    }
    // The program's application: Qt closes every popup when the application loses the input
    // focus, as it now and then does here right after the overlay is shown; the program keeps
    // its overlay through that, and so must the overlay here.
    CSingleApplication app(argc, argv);
    TestHandOff test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_handoff.moc"
