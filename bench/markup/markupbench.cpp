// Times the mark-up surface on a real X server at 1920x1080, hosted as the overlays are:
// entering it (picture set, surface shown in the already visible host, first frame painted and
// taken by the X server) and each tool stroke (one pointer move -> the changed part repainted
// and taken by the X server), with the area each move repainted. Prints min / median / p95 / max
// next to each target; asserts nothing.
#include "capture/markupsurface.h"
#include "capture/overlayhost.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QX11Info>
#include <algorithm>
#include <cstdio>
#include <vector>

using BL::Capture::CMarkupSurface;
using BL::Capture::EMarkupTool;

namespace {

// Waits until the X server has done everything asked of it (Xlib's macros kept out of the rest).
void syncX();

// A picture of the screen's size with something in every pixel: shading with grain.
QImage desktopLike(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient shade(0, 0, size.width(), size.height());
    shade.setColorAt(0, QColor(40, 90, 160));
    shade.setColorAt(1, QColor(220, 140, 60));
    painter.fillRect(image.rect(), shade);
    painter.end();
    quint32 seed = 11;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x, seed = seed * 1664525u + 1013904223u)
            line[x] ^= (seed >> 24) & 0x070707;
    }
    return image;
}

struct SFigures
{
    std::vector<double> ms;
    double pixels = 0; // repainted, summed over the samples
};

void print(const char* what, SFigures figures, double targetMs, double screenPixels)
{
    std::vector<double>& v = figures.ms;
    if (v.empty())
        return;
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    const QByteArray target =
        targetMs > 0 ? QByteArray::number(targetMs, 'f', 0) + " ms" : QByteArray("none");
    std::printf("%-34s n=%-4zu min %6.2f  median %6.2f  p95 %6.2f  max %6.2f ms  (target %s)"
                "  repainted %5.1f%% of the screen per sample\n",
                what, v.size(), v.front(), at(0.5), at(0.95), v.back(), target.constData(),
                100 * figures.pixels / double(v.size()) / screenPixels);
}

// Counts the surface's paints and the pixels they cover.
class CPaintWatch : public QObject
{
public:
    int paints = 0;
    double pixels = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            for (const QRect& rect : static_cast<QPaintEvent*>(event)->region())
                pixels += double(rect.width()) * rect.height();
        }
        return false;
    }
};

// Lets the queued repaint run, then waits until the X server has taken it.
void settle(const CPaintWatch& watch, int paintsBefore)
{
    for (int i = 0; i < 20 && watch.paints == paintsBefore; ++i)
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    syncX();
}

void send(QWidget* target, QEvent::Type type, const QPointF& pos)
{
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Times each entry is measured."),
                      QStringLiteral("N"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("moves"), QStringLiteral("Pointer moves per stroke."),
                      QStringLiteral("N"), QStringLiteral("200")});
    parser.process(app);
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());
    const int moves = std::max(2, parser.value(QStringLiteral("moves")).toInt());

    QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen->size();
    const double screenPixels = double(size.width()) * size.height();
    const QImage picture = desktopLike(size * screen->devicePixelRatio());
    std::printf("screen %dx%d, picture %dx%d\n", size.width(), size.height(), picture.width(),
                picture.height());

    // As the owner hosts it: a selector (here a plain stand-in) is up first, then the surface.
    QWidget host;
    auto* selector = new QWidget(&host);
    auto* surface = new CMarkupSurface(&host);
    BL::Capture::COverlayHost overlays(&host, {selector, surface});
    CPaintWatch watch;
    surface->installEventFilter(&watch);

    SFigures enter;
    for (int run = 0; run < runs; ++run) {
        overlays.showOverlay(selector);
        while (!host.isVisible() || !selector->isVisible())
            QCoreApplication::processEvents();
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents();
        syncX();

        const int paints = watch.paints;
        const double pixels = watch.pixels;
        QElapsedTimer timer;
        timer.start();
        surface->setPicture(picture, QPoint(0, 0));
        selector->hide();
        surface->setGeometry(QRect(QPoint(0, 0), size));
        surface->show();
        settle(watch, paints);
        enter.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        enter.pixels += watch.pixels - pixels;
        surface->hide();
    }
    print("enter (set, show, first frame)", enter, 16, screenPixels);

    overlays.showOverlay(surface);
    surface->setPicture(picture, QPoint(0, 0));
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();

    struct SStroke
    {
        const char* name;
        EMarkupTool tool;
    };
    const SStroke strokes[]{{"stroke: redact, per move", EMarkupTool::Redact},
                            {"stroke: box outline, per move", EMarkupTool::Box},
                            {"stroke: arrow, per move", EMarkupTool::Arrow},
                            {"stroke: highlighter, per move", EMarkupTool::Highlighter}};
    const QPointF from(60, 50);
    const QPointF to(size.width() - 60, size.height() - 50);
    for (const SStroke& stroke : strokes) {
        SFigures figures;
        for (int run = 0; run < std::max(1, runs / 10); ++run) {
            surface->setTool(stroke.tool);
            send(surface, QEvent::MouseButtonPress, from);
            settle(watch, watch.paints);
            for (int i = 1; i <= moves; ++i) {
                // Out to the far corner and back in a zigzag, as a hand draws.
                const qreal t = qreal(i) / moves;
                const QPointF pos =
                    from + (to - from) * (t < 0.5 ? 2 * t : 2 - 2 * t) * 0.9 + QPointF(0, (i % 2) * 24);
                const int paints = watch.paints;
                const double pixels = watch.pixels;
                QElapsedTimer timer;
                timer.start();
                send(surface, QEvent::MouseMove, pos);
                settle(watch, paints);
                figures.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
                figures.pixels += watch.pixels - pixels;
            }
            send(surface, QEvent::MouseButtonRelease, from + QPointF(30, 30));
            settle(watch, watch.paints);
        }
        print(stroke.name, figures, 8, screenPixels);
    }

    // Text, one key at a time.
    SFigures typing;
    surface->setTool(EMarkupTool::Text);
    send(surface, QEvent::MouseButtonPress, QPointF(400, 300));
    send(surface, QEvent::MouseButtonRelease, QPointF(400, 300));
    settle(watch, watch.paints);
    for (int i = 0; i < 40; ++i) {
        const int paints = watch.paints;
        const double pixels = watch.pixels;
        QElapsedTimer timer;
        timer.start();
        QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QApplication::sendEvent(surface, &key);
        settle(watch, paints);
        typing.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        typing.pixels += watch.pixels - pixels;
    }
    print("text, per key", typing, 8, screenPixels);

    // For comparison: what every move would cost if the whole screen were repainted.
    SFigures whole;
    for (int run = 0; run < runs; ++run) {
        const int paints = watch.paints;
        const double pixels = watch.pixels;
        QElapsedTimer timer;
        timer.start();
        surface->update();
        settle(watch, paints);
        whole.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        whole.pixels += watch.pixels - pixels;
    }
    print("whole screen repainted (reference)", whole, 0, screenPixels);
    return 0;
}

#include <X11/Xlib.h>

namespace {

void syncX()
{
    XSync(QX11Info::display(), False);
}

} // namespace
