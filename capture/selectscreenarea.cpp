#include "capture/selectscreenarea.h"

#include "capture/frozenscreen.h"
#include "capture/logging.h"
#include "platform/screengrab.h"

#include <QApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QFrame>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <initializer_list>
#include <optional>

namespace {

constexpr int kBandAlpha = 110;
constexpr int kCrossSize = 27;
constexpr int kScreenSettleMs = 100;

// An opaque patch of a colour of our own in the overlay's corner, and the part of it that is
// watched: away from its edges, which a fractional scale may blend with what lies next to it.
// It stays up while the overlay does, so that at release it is already on screen; nearly the
// dimmed black, it reads as part of the overlay.
constexpr QRect kMarkerRect(0, 0, 8, 8);
constexpr QRect kMarkerProbe(2, 2, 4, 4);
constexpr QRgb kMarkerColor = 0xff111317;

// Whether the screen shows the marker at `probe` (global logical coordinates); empty when the
// screen cannot be read.
std::optional<bool> markerOnScreen(const QRect& probe)
{
    const QScreen* screen = BL::Capture::screenContaining(probe.center());
    if (!screen)
        return std::nullopt;
    // Straight from the window system: no fall-back grab, no warning, it is asked many times.
    const QImage seen = BL::Platform::grabScreenRect(BL::Capture::nativeRect(screen, probe))
                            .convertToFormat(QImage::Format_RGB32);
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

// Crosshair that replaces the hidden system cursor over the selector.
class CCross : public QWidget
{
public:
    explicit CCross(QWidget* parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_MouseTracking);
        setAttribute(Qt::WA_TranslucentBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawImage(QPoint(0, 0), m_image);
    }

    void showEvent(QShowEvent*) override
    {
        // The screen may have changed since the last showing, so pick the image each time.
        const int ratio = BL::Capture::devicePixelRatioAtCursor();
        const QImage source(ratio > 1 ? QStringLiteral(":Grabber@2x.png") : QStringLiteral(":Grabber.png"));
        m_image = source.scaled(kCrossSize * ratio, kCrossSize * ratio, Qt::IgnoreAspectRatio,
                                Qt::FastTransformation);
        // Without the ratio a 54-pixel image would be drawn at 54 logical pixels and clipped.
        m_image.setDevicePixelRatio(ratio);
        setFixedSize(kCrossSize, kCrossSize);
    }

private:
    QImage m_image;
};

QString hintPrefix()
{
    return QStringLiteral("<span style=\"color: black; font-family: Helvetica; font-size: 15px; "
                          "letter-spacing: 0.34px; line-height: 18px;\">") %
           CSelectScreenArea::tr("Drag to select capture area");
}

QString hintPostfix()
{
    return QStringLiteral("</span><br/><span style=\"color: black; font-family: Helvetica; font-size: 12px; "
                          "letter-spacing: 0.34px; line-height: 18px;\">") %
           CSelectScreenArea::tr("Press ↵ Enter to capture fullscreen. Esc — to cancel") %
           QStringLiteral("</span>");
}

} // namespace

// One of the dimmed bands around the selection. Under it the translucent window's buffer has
// just been cleared, so its colour is written as it stands rather than blended: the same
// pixels, but a plain fill of a screen's worth of bands costs a fraction of a blended one,
// and the bands are painted whenever the overlay opens and as the selection moves.
class CDimBand : public QWidget
{
public:
    CDimBand(QWidget* parent, const char* name) : QWidget(parent)
    {
        setObjectName(QLatin1String(name));
        setAttribute(Qt::WA_MouseTracking);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    void setColor(const QColor& color)
    {
        m_color = color;
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QPainter painter(this);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(event->rect(), m_color);
    }

private:
    QColor m_color;
};

namespace BL::Capture {

QColor dimColor()
{
    return QColor(24, 24, 24);
}

} // namespace BL::Capture

CSelectScreenArea::CSelectScreenArea(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags)
{
    m_topBand = new CDimBand(this, "topBand");
    m_bottomBand = new CDimBand(this, "bottomBand");
    m_leftBand = new CDimBand(this, "leftBand");
    m_rightBand = new CDimBand(this, "rightBand");

    m_selectionFrame = new QFrame(this);
    m_selectionFrame->setObjectName(QStringLiteral("selectionFrame"));
    m_selectionFrame->setFrameShape(QFrame::Box);
    m_selectionFrame->setStyleSheet(
        QStringLiteral("border-style: dashed; border-color: white; border-width: 1px"));

    m_hintLabel = new QLabel(this);
    m_hintLabel->setObjectName(QStringLiteral("hintLabel"));
    m_hintLabel->setStyleSheet(QStringLiteral("background-color: rgba(255, 255, 255, 178)"));
    m_hintLabel->setMargin(10);
    m_hintLabel->setAlignment(Qt::AlignCenter);
    m_hintLabel->setTextFormat(Qt::RichText);

    m_cross = new CCross(this);
    m_cross->setObjectName(QStringLiteral("cross"));

    m_marker = new QWidget(this);
    m_marker->setObjectName(QStringLiteral("handOffMarker"));
    m_marker->setAutoFillBackground(true);
    QPalette markerPalette = m_marker->palette();
    markerPalette.setColor(m_marker->backgroundRole(), QColor::fromRgb(kMarkerColor));
    m_marker->setPalette(markerPalette);
    m_marker->setGeometry(kMarkerRect);

    setAttribute(Qt::WA_MouseTracking);
    setHintSuffix(QString());

    for (QWidget* child : std::initializer_list<QWidget*>{m_topBand, m_bottomBand, m_leftBand, m_rightBand,
                                                          m_selectionFrame, m_hintLabel, m_cross, m_marker})
        child->hide();

    // Direct, so the grab has happened by the time the emission returns.
    connect(this, &CSelectScreenArea::areaSelected, this, &CSelectScreenArea::handOff, Qt::DirectConnection);
}

CSelectScreenArea::~CSelectScreenArea() = default;

void CSelectScreenArea::setDimColor(const QColor& color)
{
    m_dimColor = color;
    QColor translucent = color;
    translucent.setAlpha(kBandAlpha);
    for (CDimBand* band : {m_topBand, m_bottomBand, m_leftBand, m_rightBand})
        band->setColor(translucent);
}

void CSelectScreenArea::setHintSuffix(const QString& suffix)
{
    m_hintText = hintPrefix() % suffix % hintPostfix();
    // Laid out when first shown: rich text pulls in the whole font stack (some 4 MiB), which
    // a program that only waits in the tray does not need.
    if (isVisible())
        applyHintText();
}

void CSelectScreenArea::applyHintText()
{
    if (m_hintLabel->text() == m_hintText)
        return;
    m_hintLabel->setText(m_hintText);
    m_hintLabel->adjustSize();
}

void CSelectScreenArea::cancelSelection(bool emitCanceled)
{
    m_anchorPoint = QPoint(0, 0);
    m_endPoint = QPoint(0, 0);
    m_pressed = false;
    if (emitCanceled)
        emit canceled();
    close();
}

void CSelectScreenArea::selectWholeArea()
{
    m_pressed = false;
    // The selector fills its host, so its own rectangle is the whole screen.
    emit areaSelected(rect());
}

void CSelectScreenArea::mousePressEvent(QMouseEvent* event)
{
    if (m_pressed)
        return;
    const QPoint pos = clamped(event->pos());
    m_pressed = true;
    m_hintLabel->hide();
    m_anchorPoint = pos;
    m_endPoint = pos;
}

void CSelectScreenArea::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = clamped(event->pos());
    moveCrossTo(pos);
    if (m_anchorPoint != QPoint(0, 0))
        setSelectionRect(BL::Capture::rectFromCorners(m_anchorPoint, pos));
    QWidget::mouseMoveEvent(event);
}

void CSelectScreenArea::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_pressed)
        return;
    m_pressed = false;
    m_endPoint = clamped(event->pos());
    const QPointer<CSelectScreenArea> self(this);
    emit areaSelected(BL::Capture::rectFromCorners(m_endPoint, m_anchorPoint));
    // A receiver of the picture may have torn the whole overlay down.
    if (!self)
        return;
    m_anchorPoint = QPoint(0, 0);
    m_endPoint = QPoint(0, 0);
    setSelectionRect(QRect());
    repaint();
}

void CSelectScreenArea::showEvent(QShowEvent* event)
{
    // A drag cut short by a close (the host switched overlays, the grab was lost) must not
    // swallow the first press of the next showing.
    m_pressed = false;
    m_anchorPoint = QPoint(0, 0);
    m_endPoint = QPoint(0, 0);
    QWidget::showEvent(event);
    // Queued: the final geometry is known only once the show has been processed.
    QMetaObject::invokeMethod(this, &CSelectScreenArea::arrangeOnShow, Qt::QueuedConnection);
}

void CSelectScreenArea::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    hideDecorations();
    emit hidden();
}

void CSelectScreenArea::hideDecorations()
{
    for (QWidget* child : std::initializer_list<QWidget*>{m_hintLabel, m_cross, m_selectionFrame, m_topBand,
                                                          m_bottomBand, m_leftBand, m_rightBand, m_marker})
        child->hide();
    repaint();
}

void CSelectScreenArea::arrangeOnShow()
{
    if (!isVisible())
        return; // hidden again before the queued call arrived
    applyHintText();
    m_hintLabel->show();
    m_cross->show();
    m_selectionFrame->show();

    moveCrossTo(mapFromGlobal(QCursor::pos()));
    const QRect empty(width() / 2, height() / 2, 0, 0);
    setSelectionRect(empty);
    m_hintLabel->move(width() / 2 - m_hintLabel->width() / 2, height() / 2 - m_hintLabel->height() / 2);

    for (QWidget* band : {m_topBand, m_bottomBand, m_leftBand, m_rightBand})
        band->show();
    setSelectionRect(empty);
    if (!BL::Capture::hasFrozenScreen()) {
        m_marker->setGeometry(kMarkerRect);
        m_marker->show();
        m_marker->raise();
    }
    // Painted and made ready on later passes of the event loop, so that none of these steps
    // holds up the others (or the mouse) for longer than it takes itself.
    update();
    // While the person picks the area, not after the release.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isVisible() && !BL::Capture::hasFrozenScreen())
                BL::Platform::prepareScreenGrab();
        },
        Qt::QueuedConnection);
}

void CSelectScreenArea::setSelectionRect(const QRect& r)
{
    const QRect f = rect(); // the bands are children: selector coordinates
    m_selectionFrame->setGeometry(r);
    m_topBand->setGeometry(QRect(f.topLeft(), QPoint(f.right(), r.top() - 1)).normalized());
    m_bottomBand->setGeometry(QRect(f.bottomLeft(), QPoint(f.right(), r.bottom() + 1)).normalized());
    m_leftBand->setGeometry(QRect(QPoint(f.left(), r.top()), QPoint(r.left(), r.bottom())).normalized());
    m_rightBand->setGeometry(QRect(QPoint(f.right(), r.top()), QPoint(r.right(), r.bottom())).normalized());
}

void CSelectScreenArea::handOff(const QRect& rect)
{
    if (!rect.isValid()) {
        // Nothing to grab: keep the overlay in place rather than leave it out of sight.
        qCDebug(lcCapture) << "Ignoring an empty selection" << rect;
        return;
    }
    const QRect globalRect(mapToGlobal(rect.topLeft()), rect.size());
    emit aboutToGrab();
    prepareForGrab();
    processSelectedArea(globalRect);
}

void CSelectScreenArea::prepareForGrab()
{
    QWidget* host = window();
    m_hostPosBeforeGrab = host->pos();
    // A picture taken as the overlay opened holds no overlay: there is nothing to wait for.
    if (BL::Capture::hasFrozenScreen())
        return;
    // Evidence of the overlay itself rather than of "some change" under the cursor, which live
    // content (a video, a blinking caret) gives at any time: an opaque patch of the overlay is
    // seen on screen, the overlay is moved away, and the patch's disappearance can then only
    // mean the frame without the overlay. Each look at the screen is an X round trip, so the
    // server has served our requests by then; only the compositor's frame is awaited. The
    // decorations are left as they are: repainting them would only delay the frame that
    // matters, and the overlay leaves the screens as a whole.
    if (!m_marker->isVisible()) {
        m_marker->setGeometry(kMarkerRect);
        m_marker->show();
        m_marker->raise();
        repaint();
    }
    const QRect probe(mapToGlobal(kMarkerProbe.topLeft()), kMarkerProbe.size());
    const bool markerSeen = waitForMarker(probe, true);
    if (hidesHostForGrab()) {
        // Its work is done: unmapped now, it leaves the screen as soon as moved away would, and
        // the picture no longer waits for its teardown (nor the person, for a local shot). The
        // selector goes first, so that it is hidden once, as on any close.
        hide();
        host->hide();
    } else {
        // Beyond every screen, so that no part of the overlay can end up in the picture.
        QRect desktop;
        for (const QScreen* screen : QGuiApplication::screens())
            desktop |= screen->geometry();
        host->move(std::max(width(), desktop.right() + 1), std::max(height(), desktop.bottom() + 1));
    }
    if (markerSeen) {
        waitForMarker(probe, false);
    } else {
        // Never seen (no compositor frame in time, or no way to read the screen): its absence
        // proves nothing, so give the compositor the whole bound.
        qCDebug(lcCapture) << "The hand-off marker did not show; waiting the full bound";
        QThread::msleep(kScreenSettleMs);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

bool CSelectScreenArea::waitForMarker(const QRect& probe, bool shown)
{
    // A compositor repaints on its own schedule, after our request has been served: look until
    // the marker is as wanted, or give it a few frames at most. User input waits meanwhile: a
    // key or click must not act on a selection that is being handed over.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    const QDeadlineTimer settled(kScreenSettleMs);
    for (;;) {
        if (markerOnScreen(probe) == std::optional<bool>(shown))
            return true;
        if (settled.hasExpired())
            return false;
        QThread::msleep(1);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

void CSelectScreenArea::restoreHostPosition()
{
    window()->move(m_hostPosBeforeGrab);
}

QPoint CSelectScreenArea::clamped(const QPoint& pos) const
{
    return QPoint(std::min(pos.x(), width() - 1), std::min(pos.y(), height() - 1));
}

void CSelectScreenArea::moveCrossTo(const QPoint& centre)
{
    m_cross->move(centre.x() - m_cross->width() / 2, centre.y() - m_cross->height() / 2);
}
