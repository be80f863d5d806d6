#include "capture/handoffmarker.h"

#include "capture/screenarea.h"
#include "platform/screengrab.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <optional>

namespace BL::Capture {

namespace {

constexpr int kScreenSettleMs = 100;

// The patch, and the part of it that is watched: away from its edges, which a fractional scale
// may blend with what lies next to it.
constexpr QRect kMarkerRect(0, 0, 8, 8);
constexpr QRect kMarkerProbe(2, 2, 4, 4);
constexpr QRgb kMarkerColor = 0xff111317;

// Whether the screen shows the marker at `probe` (global logical coordinates); empty when the
// screen cannot be read.
std::optional<bool> markerOnScreen(const QRect& probe)
{
    const QScreen* screen = screenContaining(probe.center());
    if (!screen)
        return std::nullopt;
    // Straight from the window system: no fall-back grab, no warning, it is asked many times.
    const QImage seen =
        BL::Platform::grabScreenRect(nativeRect(screen, probe)).convertToFormat(QImage::Format_RGB32);
    if (seen.isNull())
        return std::nullopt;
    for (int y = 0; y < seen.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(seen.constScanLine(y));
        for (int x = 0; x < seen.width(); ++x)
            if (line[x] != kMarkerColor)
                return false;
    }
    return true;
}

} // namespace

CHandOffMarker::CHandOffMarker(QWidget* selector) : QWidget(selector)
{
    setObjectName(QStringLiteral("handOffMarker"));
    setAutoFillBackground(true);
    QPalette markerPalette = palette();
    markerPalette.setColor(backgroundRole(), QColor::fromRgb(kMarkerColor));
    setPalette(markerPalette);
    setGeometry(kMarkerRect);
}

void CHandOffMarker::showInCorner()
{
    setGeometry(kMarkerRect);
    show();
    raise();
}

int CHandOffMarker::settleMs()
{
    return kScreenSettleMs;
}

QRect CHandOffMarker::watchedArea() const
{
    return QRect(parentWidget()->mapToGlobal(kMarkerProbe.topLeft()), kMarkerProbe.size());
}

bool CHandOffMarker::waitUntil(const QRect& watched, bool shown)
{
    // A compositor repaints on its own schedule, after our request has been served: look until
    // the marker is as wanted, or give it a few frames at most.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    const QDeadlineTimer settled(kScreenSettleMs);
    for (;;) {
        if (markerOnScreen(watched) == std::optional<bool>(shown))
            return true;
        if (settled.hasExpired())
            return false;
        QThread::msleep(1);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

} // namespace BL::Capture
