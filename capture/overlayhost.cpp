#include "capture/overlayhost.h"

#include "capture/helpscreen.h"
#include "capture/logging.h"
#include "capture/selectscreenarea.h"
#include "platform/mapexposure.h"
#include "platform/pointerscreen.h"
#include "platform/singleapplication.h"

#include <QBackingStore>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

namespace BL::Capture {

COverlayHost::COverlayHost(QWidget* host, const QList<QWidget*>& overlays) : QObject(host), m_host(host)
{
    host->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    host->setProperty(CSingleApplication::keepPopupWhenInactive, true);
    host->setAttribute(Qt::WA_TranslucentBackground);
    QPalette palette = host->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setBrush(group, host->backgroundRole(), Qt::transparent);
    host->setPalette(palette);

    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* overlay : overlays) {
        layout->addWidget(overlay);
        overlay->hide();
        overlay->installEventFilter(this);
        m_overlays.append(overlay);
        if (auto* selector = qobject_cast<CSelectScreenArea*>(overlay))
            connect(selector, &CSelectScreenArea::hidden, host, &QWidget::close, Qt::UniqueConnection);
    }
    host->installEventFilter(this);
    // Where the compositor decides (Wayland), keys reach the overlay only from here on. A popup
    // never becomes the active widget, but its window does get the focus.
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        if (window && m_host && window == m_host->windowHandle())
            qCDebug(lcCapture) << "overlay has the keyboard";
    });
}

QList<QWidget*> COverlayHost::overlays() const
{
    QList<QWidget*> alive;
    for (const QPointer<QWidget>& overlay : m_overlays)
        if (overlay)
            alive.append(overlay);
    return alive;
}

void COverlayHost::showOverlay(QWidget* overlay)
{
    for (QWidget* other : overlays())
        if (other != overlay)
            other->hide();
    overlay->show();
    m_host->setFocusPolicy(Qt::StrongFocus);
    // The full-screen state of the last showing is kept: dropped here and set again by
    // showFullScreen(), it cost two waits on the X server at every showing.
    m_host->setWindowState(m_host->windowState() | Qt::WindowActive);
    m_host->setCursor(Qt::BlankCursor);

    QPoint pointer;
    QScreen* screen = BL::Platform::screenUnderPointer(&pointer);
    if (auto* selector = qobject_cast<CSelectScreenArea*>(overlay))
        selector->setPointerAtShow(pointer);
    if (!screen) {
        qCWarning(lcCapture) << "No screen to show the overlay on";
        return;
    }
    // Where the window system places windows itself (Wayland), a full-screen window goes to the
    // output of its screen, which a position does not change once the window exists.
    if (m_host->screen() != screen) {
        m_host->winId();
        m_host->windowHandle()->setScreen(screen);
    }
    const QRect geometry = screen->geometry();
    m_host->setGeometry(geometry);
    // The overlay fills the host at its origin, whichever screen the host is on.
    overlay->setGeometry(QRect(QPoint(0, 0), geometry.size()));
    m_host->showFullScreen();
    // A popup ignores the full-screen sizing; give it the screen's geometry explicitly.
    m_host->setGeometry(geometry);
    // Qt posts every widget it shows an update for later. Delivered after the first frame, they
    // painted the whole overlay a second time, first waiting for the server to take in the
    // first frame, and made the compositor draw the screen twice. Delivered now, before the
    // window is exposed, they only mark what the first frame paints anyway.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateLater);
    m_host->setFocus(Qt::OtherFocusReason);
    qCDebug(lcCapture).noquote() << "overlay shown on" << screen->name();
}

void COverlayHost::prepareWindow()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!m_host || m_host->isVisible() || !screen)
        return;
    m_host->winId();
    // The first frame is the whole screen: sent once, not once more for the server's exposures.
    BL::Platform::skipExposuresOfMapping(m_host->windowHandle());
    QBackingStore* store = m_host->backingStore();
    if (!store)
        return;
    // The size the first showing gives it, so that it is not made again then.
    const QRect area(QPoint(0, 0), screen->geometry().size());
    store->resize(area.size());
    store->beginPaint(area);
    if (QPaintDevice* device = store->paintDevice()) {
        QPainter painter(device);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(area, Qt::transparent);
    }
    store->endPaint();
    qCDebug(lcCapture) << "overlay window prepared at" << area.size();
}

bool COverlayHost::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_host) {
        // Queued: an overlay is often hidden only to be shown again at once (the next
        // overlay, the second comparison shot); decide when the dust has settled.
        if (event->type() == QEvent::Hide)
            QMetaObject::invokeMethod(this, &COverlayHost::closeIfEmpty, Qt::QueuedConnection);
        return false;
    }
    switch (event->type()) {
    case QEvent::KeyPress:
        routeKey(static_cast<QKeyEvent*>(event));
        return true;
    case QEvent::Show:
        m_host->activateWindow();
        m_host->raise();
        m_host->setFocus(Qt::OtherFocusReason);
        break;
    case QEvent::Close:
        // Brings back the mouse cursor hidden by showOverlay.
        m_host->unsetCursor();
        qCDebug(lcCapture) << "overlay closed";
        break;
    default:
        break;
    }
    return false;
}

void COverlayHost::routeKey(const QKeyEvent* event)
{
    const QList<QWidget*> shown = overlays();
    for (QWidget* overlay : shown)
        if (auto* help = qobject_cast<CHelpScreen*>(overlay); help && help->isVisible())
            help->close();

    // A selector's reaction may hide or replace others; re-check each one before use.
    QList<QPointer<CSelectScreenArea>> selectors;
    for (QWidget* overlay : shown)
        if (auto* selector = qobject_cast<CSelectScreenArea*>(overlay))
            selectors.append(selector);

    switch (event->key()) {
    case Qt::Key_Escape:
        for (const QPointer<CSelectScreenArea>& selector : selectors)
            if (selector && selector->isVisible())
                selector->cancelSelection(true);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Only a fresh press takes anything: the repeats of an Enter held in the mark-up of a
        // comparison's first area, or in its first selector, would take the second area.
        if (event->isAutoRepeat())
            break;
        for (const QPointer<CSelectScreenArea>& selector : selectors) {
            if (selector && selector->isVisible()) {
                if (selector->isWindowMode())
                    selector->selectHoveredWindow();
                else
                    selector->selectWholeArea();
                break;
            }
        }
        break;
    case Qt::Key_Space:
        for (const QPointer<CSelectScreenArea>& selector : selectors) {
            if (selector && selector->isVisible()) {
                selector->toggleWindowMode();
                break;
            }
        }
        break;
    default:
        break;
    }
}

void COverlayHost::closeIfEmpty()
{
    if (!m_host || !m_host->isVisible())
        return;
    for (const QWidget* overlay : overlays())
        if (overlay->isVisible())
            return;
    qCDebug(lcCapture) << "Closing the overlay host: no overlay left";
    m_host->close();
}

} // namespace BL::Capture
