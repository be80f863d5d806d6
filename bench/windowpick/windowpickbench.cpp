// Times the window mode of the selector on a 1920x1080 X session (openbox, xcompmgr): a mouse
// move that brings another window under the crosshair -> its outline painted and flushed to the
// X server, over a desktop of framed windows. Also counts how often the window list was read
// from the server meanwhile (it must not grow with moves). Prints min / median / p99 / max next
// to the target; asserts nothing.
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "platform/windowlist.h"
#include "resources/resources.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QX11Info>
#include <QtTest>
#include <X11/Xlib.h>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

class CPlainWindow : public QWidget
{
public:
    explicit CPlainWindow(const QColor& color) : m_color(color) { setAttribute(Qt::WA_OpaquePaintEvent); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), m_color); }

private:
    QColor m_color;
};

void print(const char* what, std::vector<double> ms, const char* target)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&ms](double q) {
        return ms[std::min(ms.size() - 1, size_t(q * (ms.size() - 1) + 0.5))];
    };
    std::printf("%-52s %7.3f %7.3f %7.3f %7.3f   target %s\n", what, ms.front(), at(0.5), at(0.99), ms.back(),
                target);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("moves"), QStringLiteral("Mouse moves to time."), QStringLiteral("N"),
                      QStringLiteral("500")});
    parser.process(app);
    const int moves = std::max(10, parser.value(QStringLiteral("moves")).toInt());
    BL::Resources::registerResources();

    // A desktop of framed windows, four by three.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    std::vector<std::unique_ptr<CPlainWindow>> windows;
    std::vector<QPoint> centres;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            auto window = std::make_unique<CPlainWindow>(QColor::fromHsv((row * 4 + column) * 30, 160, 220));
            window->resize(screen.width() / 4 - 40, screen.height() / 3 - 60);
            window->show();
            if (!QTest::qWaitForWindowExposed(window.get()))
                return 1;
            window->move(column * screen.width() / 4 + 10, row * screen.height() / 3 + 10);
            centres.push_back(QPoint(column * screen.width() / 4 + screen.width() / 8,
                                     row * screen.height() / 3 + screen.height() / 6));
            windows.push_back(std::move(window));
        }
    }
    QTest::qWait(500); // let openbox frame and place them all before the list is read

    QWidget host;
    auto* single = new CCropScreen(&host, false);
    single->setDimColor(BL::Capture::dimColor());
    BL::Capture::COverlayHost overlays(&host, {single});
    overlays.showOverlay(single);
    if (!QTest::qWaitForWindowExposed(&host))
        return 1;
    if (!QTest::qWaitFor(
            [single] { return single->findChild<QWidget*>(QStringLiteral("cross"))->isVisible(); }))
        return 1;
    single->toggleWindowMode();
    QCoreApplication::processEvents();
    const int readsBefore = BL::Platform::windowList().fullReads();
    std::printf("screen %dx%d, %d framed windows listed, %d timed moves\n\n", screen.width(), screen.height(),
                BL::Platform::windowList().windows().size(), moves);
    std::printf("%-52s %7s %7s %7s %7s\n", "window mode", "min", "median", "p99", "max");

    std::vector<double> painted;
    std::vector<double> flushed;
    Display* display = QX11Info::display();
    for (int i = 0; i < moves; ++i) {
        // Each move crosses to another window, so that the outline moves every time.
        const QPoint to = centres[size_t(i) % centres.size()] + QPoint(i % 7, i % 5);
        QElapsedTimer timer;
        timer.start();
        QMouseEvent move(QEvent::MouseMove, single->mapFromGlobal(to), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(single, &move);
        // The repaint the move asked for, painted and handed to the X server.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        QCoreApplication::sendPostedEvents(&host, QEvent::UpdateRequest);
        painted.push_back(timer.nsecsElapsed() / 1e6);
        // ... and served by it (this round trip is the benchmark's, not the program's).
        XSync(display, False);
        flushed.push_back(timer.nsecsElapsed() / 1e6);
        QCoreApplication::processEvents();
    }
    print("move -> outline painted (ms)", painted, "<= 4");
    print("move -> outline painted, served by X (ms)", flushed, "(no target)");
    std::printf("window list reads from the server during the moves: %d  (target 0)\n",
                BL::Platform::windowList().fullReads() - readsBefore);
    host.close();
    return 0;
}
