#include "capture/selectscreenarea.h"

#include "capture/frozenscreen.h"
#include "capture/handoffmarker.h"
#include "capture/logging.h"
#include "platform/screengrab.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <utility>

using BL::Capture::CHandOffMarker;

namespace {

// Styles of the hint's first and further lines.
QString firstLine(const QString& text)
{
    return QStringLiteral("<span style=\"color: black; font-family: Helvetica; font-size: 15px; "
                          "letter-spacing: 0.34px; line-height: 18px;\">") %
           text;
}

QString furtherLine(const QString& text)
{
    return QStringLiteral("</span><br/><span style=\"color: black; font-family: Helvetica; font-size: 12px; "
                          "letter-spacing: 0.34px; line-height: 18px;\">") %
           text;
}

} // namespace

CSelectScreenArea::CSelectScreenArea(QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), m_decorations(std::make_unique<BL::Capture::CSelectionDecorations>(this)),
      m_picker(this)
{
    // Created last, so that it lies above the decorations.
    m_marker = new CHandOffMarker(this);
    m_marker->hide();

    setAttribute(Qt::WA_MouseTracking);
    setHintSuffix(QString());

    // Direct, so the grab has happened by the time the emission returns.
    connect(this, &CSelectScreenArea::areaSelected, this, &CSelectScreenArea::handOff, Qt::DirectConnection);
    // A window that moves, opens or closes under a resting crosshair is outlined anew.
    connect(&BL::Platform::windowList(), &BL::Platform::CAbstractWindowList::changed, this, [this] {
        if (m_windowMode && isVisible())
            hoverAt(m_lastPos);
    });
}

CSelectScreenArea::~CSelectScreenArea() = default;

void CSelectScreenArea::setDimColor(const QColor& color)
{
    m_dimColor = color;
    m_decorations->setDimColor(color);
}

void CSelectScreenArea::setHintSuffix(const QString& suffix)
{
    m_hintSuffix = suffix;
    applyHint();
}

void CSelectScreenArea::applyHint()
{
    QString text;
    if (m_windowMode) {
        text = firstLine(tr("Click a window to capture it") % m_hintSuffix) %
               furtherLine(tr("Press ↵ Enter to capture the outlined window. Space — to select an area. "
                              "Esc — to cancel"));
    } else {
        text = firstLine(tr("Drag to select capture area") % m_hintSuffix) %
               furtherLine(tr("Press ↵ Enter to capture fullscreen. Esc — to cancel"));
        if (m_toldNoWindows)
            text += furtherLine(tr("Window selection is not available on this desktop"));
        else if (windowsPickable())
            text += furtherLine(tr("Press Space to pick a window"));
    }
    m_decorations->setHintText(text % QStringLiteral("</span>"));
}

void CSelectScreenArea::toggleWindowMode()
{
    m_pressed = false;
    m_anchorPoint = QPoint(0, 0);
    m_endPoint = QPoint(0, 0);
    if (!windowsPickable()) {
        m_toldNoWindows = true;
        applyHint();
        m_decorations->showHint();
        return;
    }
    m_windowMode = !m_windowMode;
    m_hovered = {};
    applyHint();
    m_decorations->showHint();
    if (m_windowMode) {
        m_picker.follow();
        hoverAt(m_lastPos);
    } else {
        m_decorations->setSelectionRect(noSelection());
    }
}

void CSelectScreenArea::hoverAt(const QPoint& pos)
{
    const BL::Capture::SPickedWindow picked = m_picker.windowAt(pos);
    if (picked.window.id == m_hovered.window.id && picked.onSelector == m_hovered.onSelector)
        return;
    m_hovered = picked;
    m_decorations->setSelectionRect(picked.isNull() ? noSelection() : picked.onSelector);
}

bool CSelectScreenArea::windowsPickable() const
{
    // A frozen picture of the root window shows the windows where the list has them; the
    // desktop's own picture (Wayland) is of no list at all.
    return m_picker.available() && (!BL::Capture::hasFrozenScreen() || BL::Capture::hasFrozenRoot());
}

QRect CSelectScreenArea::noSelection() const
{
    // Empty: everything is dimmed.
    return QRect(width() / 2, height() / 2, 0, 0);
}

void CSelectScreenArea::selectHoveredWindow()
{
    if (!m_windowMode)
        return;
    const BL::Capture::SPickedWindow picked = m_picker.windowAt(m_lastPos);
    if (!picked.isNull())
        handOffWindow(picked);
}

QPixmap CSelectScreenArea::grabSelection(const QRect& globalRect) const
{
    if (!m_handedOver.isNull())
        return BL::Capture::CWindowPicker::grab(m_handedOver, m_handedOverRatio);
    return BL::Capture::grabScreenArea(globalRect);
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
    if (m_windowMode)
        return; // the window is taken on release
    m_decorations->hideHint();
    m_anchorPoint = pos;
    m_endPoint = pos;
}

void CSelectScreenArea::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = clamped(event->pos());
    m_lastPos = pos;
    m_decorations->moveCrossTo(pos);
    if (m_windowMode)
        hoverAt(pos);
    else if (m_anchorPoint != QPoint(0, 0))
        m_decorations->setSelectionRect(BL::Capture::rectFromCorners(m_anchorPoint, pos));
    QWidget::mouseMoveEvent(event);
}

void CSelectScreenArea::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_pressed)
        return;
    m_pressed = false;
    if (m_windowMode) {
        m_lastPos = clamped(event->pos());
        selectHoveredWindow();
        return;
    }
    m_endPoint = clamped(event->pos());
    const QPointer<CSelectScreenArea> self(this);
    emit areaSelected(BL::Capture::rectFromCorners(m_endPoint, m_anchorPoint));
    // A receiver of the picture may have torn the whole overlay down.
    if (!self)
        return;
    m_anchorPoint = QPoint(0, 0);
    m_endPoint = QPoint(0, 0);
    m_decorations->setSelectionRect(QRect());
    repaint();
}

void CSelectScreenArea::showEvent(QShowEvent* event)
{
    // A drag cut short by a close (the host switched overlays, the grab was lost) must not
    // swallow the first press of the next showing.
    m_pressed = false;
    m_anchorPoint = QPoint(0, 0);
    m_endPoint = QPoint(0, 0);
    m_windowMode = false;
    m_toldNoWindows = false;
    m_hovered = {};
    applyHint();
    QWidget::showEvent(event);
    // Children are shown here, with the selector: Qt then spares each a look at the pointer.
    m_decorations->showAll();
    if (!BL::Capture::hasFrozenScreen())
        m_marker->showInCorner();
    // Placed before the first frame, which would otherwise show the crosshair and the selection
    // where the last showing left them.
    arrangeAt(m_pointerAtShow ? *m_pointerAtShow : QCursor::pos());
    m_pointerAtShow.reset();
    // Queued: where the window system places the window itself, its geometry may change yet.
    QMetaObject::invokeMethod(this, &CSelectScreenArea::arrangeOnShow, Qt::QueuedConnection);
}

void CSelectScreenArea::arrangeAt(const QPoint& pointer)
{
    m_arrangedFor = {pointer, QRect(mapToGlobal(QPoint(0, 0)), size())};
    m_lastPos = mapFromGlobal(pointer);
    m_decorations->arrangeAround(m_lastPos);
}

void CSelectScreenArea::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_pointerAtShow.reset();
    hideDecorations();
    emit hidden();
}

void CSelectScreenArea::hideDecorations()
{
    // Nothing is followed while no overlay is up: no wake-ups for windows nobody picks.
    m_picker.stop();
    m_decorations->hideAll();
    m_marker->hide();
    repaint();
}

void CSelectScreenArea::arrangeOnShow()
{
    if (!isVisible())
        return; // hidden again before the queued call arrived
    // Again only if the show moved the selector; a drag begun since keeps its selection.
    if (!m_pressed && QRect(mapToGlobal(QPoint(0, 0)), size()) != m_arrangedFor.second)
        arrangeAt(m_arrangedFor.first);
    // Made ready on later passes of the event loop, while the person picks the area, not after
    // the release.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!isVisible())
                return;
            if (!BL::Capture::hasFrozenScreen())
                BL::Platform::prepareScreenGrab();
            // Read while the person looks, so that Space finds the list ready.
            if (windowsPickable())
                m_picker.follow();
        },
        Qt::QueuedConnection);
}

void CSelectScreenArea::handOff(const QRect& rect)
{
    if (!rect.isValid()) {
        // Nothing to grab: keep the overlay in place rather than leave it out of sight.
        qCDebug(lcCapture) << "Ignoring an empty selection" << rect;
        return;
    }
    const QRect globalRect(mapToGlobal(rect.topLeft()), rect.size());
    noteMarkupWish();
    if (!m_markupWanted)
        emit aboutToGrab();
    prepareForGrab();
    processSelectedArea(globalRect);
}

void CSelectScreenArea::handOffWindow(const BL::Capture::SPickedWindow& picked)
{
    m_pressed = false;
    // Before the hand-off moves the host: where it is now is where the person saw the window.
    const QRect globalRect(mapToGlobal(picked.onSelector.topLeft()), picked.onSelector.size());
    const qreal ratio = m_picker.ratio();
    noteMarkupWish();
    if (!m_markupWanted)
        emit aboutToGrab();
    prepareForGrab();
    const QPointer<CSelectScreenArea> self(this);
    m_handedOver = picked;
    m_handedOverRatio = ratio;
    processSelectedArea(globalRect);
    // A receiver of the picture may have torn the whole overlay down.
    if (self)
        m_handedOver = {};
}

void CSelectScreenArea::noteMarkupWish()
{
    // Shift held as the drag ends, the window is clicked or Enter is pressed.
    m_markupWanted = QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier);
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
        m_marker->showInCorner();
        repaint();
    }
    const QRect probe = m_marker->watchedArea();
    const bool markerSeen = CHandOffMarker::waitUntil(probe, true);
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
        CHandOffMarker::waitUntil(probe, false);
    } else {
        // Never seen (no compositor frame in time, or no way to read the screen): its absence
        // proves nothing, so give the compositor the whole bound.
        qCDebug(lcCapture) << "The hand-off marker did not show; waiting the full bound";
        QThread::msleep(CHandOffMarker::settleMs());
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
