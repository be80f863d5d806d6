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
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <initializer_list>

namespace {

constexpr int kBandAlpha = 110;
constexpr int kCrossSize = 27;
constexpr int kScreenSettleMs = 100;

QImage grabProbe(QScreen* screen, const QRect& globalRect)
{
    // Same coordinates as the real grab below.
    return screen->grabWindow(0, globalRect.x(), globalRect.y(), globalRect.width(), globalRect.height())
        .toImage();
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

QWidget* makeBand(QWidget* parent, const char* name)
{
    auto* band = new QWidget(parent);
    band->setObjectName(QLatin1String(name));
    band->setAttribute(Qt::WA_MouseTracking);
    band->setAttribute(Qt::WA_OpaquePaintEvent);
    return band;
}

} // namespace

namespace BL::Capture {

QColor dimColor()
{
    return QColor(24, 24, 24);
}

QScreen* screenContaining(const QPoint& globalPos)
{
    return QGuiApplication::screenAt(globalPos);
}

int devicePixelRatioAtCursor()
{
    const QScreen* screen = screenContaining(QCursor::pos());
    if (!screen)
        return 1;
    return std::max(1, static_cast<int>(screen->devicePixelRatio()));
}

QPixmap grabScreenArea(const QRect& globalRect)
{
    if (!globalRect.isValid()) {
        qCWarning(lcCapture) << "Not grabbing an empty area" << globalRect;
        return {};
    }
    // The desktop cannot be read behind the overlay here: the picture taken as it opened serves.
    if (hasFrozenScreen())
        return cropFrozenScreen(globalRect);
    QScreen* screen = screenContaining(globalRect.topLeft());
    if (!screen) {
        qCWarning(lcCapture) << "No screen holds the area to grab" << globalRect;
        return {};
    }
    // Unscaled screens take the fast path of the window system when it has one.
    if (qFuzzyCompare(screen->devicePixelRatio(), 1.0)) {
        QImage fast = BL::Platform::grabScreenRect(globalRect);
        if (!fast.isNull())
            return QPixmap::fromImage(std::move(fast));
    }
    // Coordinates are logical: QScreen scales them to native pixels itself and tags the result
    // with the device pixel ratio, so the picture keeps the full resolution of the area.
    QPixmap picture =
        screen->grabWindow(0, globalRect.x(), globalRect.y(), globalRect.width(), globalRect.height());
    if (picture.isNull())
        qCWarning(lcCapture) << "Grabbing the screen failed for" << globalRect;
    return picture;
}

QRect rectFromCorners(const QPoint& a, const QPoint& b)
{
    // QRect(a, b).normalized() leaves a zero-width rectangle when b lies one pixel left of a.
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

} // namespace BL::Capture

CSelectScreenArea::CSelectScreenArea(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags)
{
    m_topBand = makeBand(this, "topBand");
    m_bottomBand = makeBand(this, "bottomBand");
    m_leftBand = makeBand(this, "leftBand");
    m_rightBand = makeBand(this, "rightBand");

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

    setAttribute(Qt::WA_MouseTracking);
    setHintSuffix(QString());

    for (QWidget* child : std::initializer_list<QWidget*>{m_topBand, m_bottomBand, m_leftBand, m_rightBand,
                                                          m_selectionFrame, m_hintLabel, m_cross})
        child->hide();

    // Direct, so the grab has happened by the time the emission returns.
    connect(this, &CSelectScreenArea::areaSelected, this, &CSelectScreenArea::handOff, Qt::DirectConnection);
}

CSelectScreenArea::~CSelectScreenArea() = default;

void CSelectScreenArea::setDimColor(const QColor& color)
{
    m_dimColor = color;
    const QString sheet = QStringLiteral("background-color: rgba(%1, %2, %3, %4);")
                              .arg(color.red())
                              .arg(color.green())
                              .arg(color.blue())
                              .arg(kBandAlpha);
    for (QWidget* band : {m_topBand, m_bottomBand, m_leftBand, m_rightBand})
        band->setStyleSheet(sheet);
}

void CSelectScreenArea::setHintSuffix(const QString& suffix)
{
    m_hintLabel->setText(hintPrefix() % suffix % hintPostfix());
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
                                                          m_bottomBand, m_leftBand, m_rightBand})
        child->hide();
    repaint();
}

void CSelectScreenArea::arrangeOnShow()
{
    if (!isVisible())
        return; // hidden again before the queued call arrived
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
    repaint();
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
    prepareForGrab();
    processSelectedArea(globalRect);
}

void CSelectScreenArea::prepareForGrab()
{
    QWidget* host = window();
    m_hostPosBeforeGrab = host->pos();
    // The patch under the crosshair tells when a change of ours has reached the screen.
    QRect probe;
    QScreen* probeScreen = nullptr;
    if (m_cross->isVisible()) {
        probe = QRect(m_cross->mapToGlobal(QPoint(0, 0)), m_cross->size());
        probeScreen = BL::Capture::screenContaining(probe.center());
    }
    // Two steps, each waited for: first our own decorations go, then the overlay itself. Done at
    // once, a compositor may show the frame without the crosshair before the one without the
    // overlay, and the probe would take the first for the second: dim bands in the picture.
    const QImage withDecorations = probeScreen ? grabProbe(probeScreen, probe) : QImage();
    m_hintLabel->hide();
    m_cross->hide();
    m_selectionFrame->hide();
    repaint();
    waitForScreenChange(probeScreen, probe, withDecorations);
    const QImage withOverlay = probeScreen ? grabProbe(probeScreen, probe) : QImage();
    // Beyond every screen, so that no part of the overlay can end up in the picture.
    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens())
        desktop |= screen->geometry();
    host->move(std::max(width(), desktop.right() + 1), std::max(height(), desktop.bottom() + 1));
    waitForScreenChange(probeScreen, probe, withOverlay);
}

void CSelectScreenArea::waitForScreenChange(QScreen* probeScreen, const QRect& probe, const QImage& before)
{
    // A compositor repaints on its own schedule, after our request has been served: watch the
    // probe until it changes, or give it a few frames at most. User input waits meanwhile: a key
    // or click must not act on a selection that is being handed over.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    const QDeadlineTimer settled(kScreenSettleMs);
    while (!settled.hasExpired()) {
        if (!before.isNull() && grabProbe(probeScreen, probe) != before) {
            // The compositor paints a whole frame at once; one more pass lets it finish.
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            return;
        }
        QThread::msleep(before.isNull() ? 5 : 1);
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
