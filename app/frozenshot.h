#pragma once

#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QWidget>

class QPainter;

namespace BL::Platform {
class CAbstractScreenshotSource;
}

namespace BL::App {

// Where the screen cannot be read behind the overlay (Wayland), a selector opens on a picture
// of the desktop taken just before it: asked of the desktop, shown dimmed under the selector,
// cut by the selection, dropped when the overlay closes. The same where the screen can be read
// but the translucent overlay would hide it (X11 without a compositing manager): there the
// picture is the root window's, read at once, and windows can still be picked from it.
class CFrozenShot : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CFrozenShot)

public:
    explicit CFrozenShot(QObject* parent);

    // False where the live screen shows through the overlay: overlays open at once, on it.
    bool needed() const;
    bool hasPicture() const { return !m_picture.isNull(); }
    // Takes the picture, then asks for `overlay` through ready(); a request while one is under
    // way only changes the overlay that follows it.
    void open(QWidget* overlay);
    // Drops the picture: the overlays are closed.
    void release();
    // Paints the part of the picture under `globalRect` (logical) into `target`.
    void paint(QPainter& painter, const QRect& target, const QRect& globalRect) const;

signals:
    void ready(QWidget* overlay);
    // A message for the person: what did not answer or refused.
    void failed(const QString& message);

private:
    void onTaken(const QImage& picture);
    void freezeRoot(QWidget* overlay);

    BL::Platform::CAbstractScreenshotSource* m_source = nullptr;
    QPointer<QWidget> m_waiting;
    QPixmap m_picture;
    QRect m_desktop;
    bool m_root = false; // m_picture is the root window's, in native coordinates
};

} // namespace BL::App
