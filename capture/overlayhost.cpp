#include "capture/overlayhost.h"

#include "capture/capturelog.h"
#include "capture/helpscreen.h"
#include "capture/selectscreenarea.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPalette>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

namespace {

// Watches the overlays of one host and closes the host once none of them is left visible.
class CEmptyHostCloser : public QObject
{
public:
    explicit CEmptyHostCloser(QWidget* host) : QObject(host), m_host(host) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Hide) {
            // Queued: an overlay is often hidden only to be shown again at once (the next
            // overlay, the second comparison shot); decide when the dust has settled.
            QMetaObject::invokeMethod(this, &CEmptyHostCloser::closeIfEmpty, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void closeIfEmpty()
    {
        if (!m_host || !m_host->isVisible()) {
            return;
        }
        for (const QWidget* overlay : BL::Capture::hostOverlays(m_host)) {
            if (overlay->isVisible()) {
                return;
            }
        }
        qCDebug(lcCapture) << "Closing the overlay host: no overlay left";
        m_host->close();
    }

    QPointer<QWidget> m_host;
};

} // namespace

namespace BL::Capture {

void setupHostWindow(QWidget* host, const QList<QWidget*>& overlays)
{
    host->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    host->setAttribute(Qt::WA_TranslucentBackground);
    QPalette palette = host->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setBrush(group, host->backgroundRole(), Qt::transparent);
    }
    host->setPalette(palette);

    auto* layout = qobject_cast<QVBoxLayout*>(host->layout());
    if (!layout) {
        if (host->layout()) {
            qCWarning(lcCapture) << "The overlay host already has a layout of another kind";
            return;
        }
        layout = new QVBoxLayout(host);
    }
    layout->setContentsMargins(0, 0, 0, 0);

    auto* closer = new CEmptyHostCloser(host);
    for (QWidget* overlay : overlays) {
        layout->addWidget(overlay);
        overlay->hide();
        overlay->installEventFilter(closer);
        if (auto* selector = qobject_cast<CSelectScreenArea*>(overlay)) {
            QObject::connect(selector, &CSelectScreenArea::hidden, host, &QWidget::close,
                             Qt::UniqueConnection);
        }
    }
}

QList<QWidget*> hostOverlays(const QWidget* host)
{
    QList<QWidget*> overlays;
    const QLayout* layout = host->layout();
    if (!layout) {
        return overlays;
    }
    for (int i = 0; i < layout->count(); ++i) {
        if (QWidget* widget = layout->itemAt(i)->widget()) {
            overlays.append(widget);
        }
    }
    return overlays;
}

void showOverlay(QWidget* host, QWidget* overlay)
{
    for (QWidget* other : hostOverlays(host)) {
        if (other != overlay) {
            other->hide();
        }
    }
    overlay->show();
    host->setFocusPolicy(Qt::StrongFocus);
    host->setWindowState(Qt::WindowActive);
    host->setCursor(Qt::BlankCursor);

    QScreen* screen = screenContaining(QCursor::pos());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        qCWarning(lcCapture) << "No screen to show the overlay on";
        return;
    }
    const QRect geometry = screen->geometry();
    host->setGeometry(geometry);
    // The overlay fills the host at its origin, whichever screen the host is on.
    overlay->setGeometry(QRect(QPoint(0, 0), geometry.size()));
    host->showFullScreen();
    // A popup ignores the full-screen sizing; give it the screen's geometry explicitly.
    host->setGeometry(geometry);
    host->setFocus(Qt::OtherFocusReason);
}

void routeHostKey(QWidget* host, const QKeyEvent* event)
{
    const QList<QWidget*> overlays = hostOverlays(host);
    for (QWidget* overlay : overlays) {
        if (auto* help = qobject_cast<CHelpScreen*>(overlay); help && help->isVisible()) {
            help->close();
        }
    }

    QList<QPointer<CSelectScreenArea>> selectors;
    for (QWidget* overlay : overlays) {
        if (auto* selector = qobject_cast<CSelectScreenArea*>(overlay)) {
            selectors.append(selector);
        }
    }

    switch (event->key()) {
    case Qt::Key_Escape:
        for (const QPointer<CSelectScreenArea>& selector : selectors) {
            if (selector && selector->isVisible()) {
                selector->cancelSelection(true);
            }
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        for (const QPointer<CSelectScreenArea>& selector : selectors) {
            if (selector && selector->isVisible()) {
                selector->selectWholeArea();
                break;
            }
        }
        break;
    default:
        break;
    }
}

void hostShown(QWidget* host)
{
    host->activateWindow();
    host->raise();
    host->setFocus(Qt::OtherFocusReason);
}

void hostClosed(QWidget* host)
{
    host->unsetCursor();
}

} // namespace BL::Capture
