#include "app/frozenshot.h"

#include "app/logging.h"
#include "capture/frozenscreen.h"
#include "capture/screenarea.h"
#include "platform/backends.h"
#include "platform/screengrab.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

namespace BL::App {

CFrozenShot::CFrozenShot(QObject* parent) : QObject(parent)
{
    m_source = BL::Platform::backends().screenshots();
    if (!m_source)
        return;
    connect(m_source, &BL::Platform::CAbstractScreenshotSource::taken, this, &CFrozenShot::onTaken);
    connect(m_source, &BL::Platform::CAbstractScreenshotSource::failed, this, [this](const QString& reason) {
        m_waiting.clear();
        emit failed(tr("Brightloom could not take a picture of the screen: %1.").arg(reason));
    });
}

bool CFrozenShot::needed() const
{
    return m_source != nullptr || !BL::Platform::showsDesktopThroughOverlays();
}

void CFrozenShot::open(QWidget* overlay)
{
    if (!m_source) {
        freezeRoot(overlay);
        return;
    }
    const bool underWay = !m_waiting.isNull();
    m_waiting = overlay;
    if (!underWay)
        m_source->request();
}

void CFrozenShot::onTaken(const QImage& picture)
{
    QWidget* overlay = m_waiting;
    m_waiting.clear();
    if (!overlay)
        return;
    // The portal pictures the whole desktop: every screen, each at its own pixels.
    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens())
        desktop |= screen->geometry();
    if (!desktop.isValid()) {
        emit failed(tr("Brightloom could not take a picture of the screen: %1.").arg(tr("no screen")));
        return;
    }
    m_picture = QPixmap::fromImage(picture);
    m_desktop = desktop;
    BL::Capture::setFrozenScreen(picture, desktop);
    qCDebug(lcApp) << "frozen screen" << picture.size() << "for the desktop" << desktop;
    emit ready(overlay);
}

void CFrozenShot::freezeRoot(QWidget* overlay)
{
    QRect native;
    for (const QScreen* screen : QGuiApplication::screens())
        native |= BL::Capture::nativeRect(screen, screen->geometry());
    const QImage root = BL::Platform::grabScreenRect(QRect(QPoint(0, 0), native.bottomRight()));
    if (root.isNull()) {
        // Better a dark overlay than none: the selection is then cut from the live screen.
        qCWarning(lcApp) << "Could not read the screen to show under the overlay";
        emit ready(overlay);
        return;
    }
    m_picture = QPixmap::fromImage(root);
    m_desktop = root.rect();
    m_root = true;
    BL::Capture::setFrozenRoot(root);
    qCDebug(lcApp) << "frozen root window" << root.size();
    emit ready(overlay);
}

void CFrozenShot::release()
{
    m_picture = QPixmap();
    m_desktop = QRect();
    m_root = false;
    BL::Capture::setFrozenScreen(QImage(), QRect());
}

void CFrozenShot::paint(QPainter& painter, const QRect& target, const QRect& globalRect) const
{
    if (m_picture.isNull())
        return;
    if (m_root) {
        BL::Capture::paintFrozenRoot(painter, target, globalRect);
        return;
    }
    const qreal scale = qreal(m_picture.width()) / m_desktop.width();
    const QRectF source(QPointF(globalRect.topLeft() - m_desktop.topLeft()) * scale,
                        QSizeF(globalRect.size()) * scale);
    painter.drawPixmap(QRectF(target), m_picture, source);
}

} // namespace BL::App
