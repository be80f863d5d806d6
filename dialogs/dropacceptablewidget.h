#pragma once

#include <QList>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QUrl>
#include <QWidget>

// A small square that floats above all windows: image files and web links dropped on it are
// reported for upload, and it can be moved by dragging it with the mouse.
class CDropAcceptableWidget : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CDropAcceptableWidget)

public:
    // A top-level window of its own: the host moves it and shows it as the settings say.
    CDropAcceptableWidget();

    // Pictures of more pixels than this (an 8192 x 8192 square) are refused before decoding.
    static constexpr qint64 maxDroppedPixels = qint64(8192) * 8192;
    // Pictures of more pixels than this are decoded off the GUI thread; imageDropped (or the
    // error) then follows the drop once decoding is done.
    static constexpr qint64 decodeInBackgroundPixels = qint64(2048) * 2048;

    // Where a widget of `size` stored at `pos` can be seen: `pos` itself when the widget lies
    // wholly on one of `screens`, otherwise the nearest place on the screen nearest to it (a
    // stored place may be on a monitor that has since been unplugged).
    static QPoint onNearestScreen(const QPoint& pos, const QSize& size, const QList<QRect>& screens);
    // Moves to the stored place, or onto the nearest screen of those present.
    void restorePosition(const QPoint& pos);

signals:
    void imageDropped(const QPixmap& pmp);
    void urlDropped(const QUrl& url);
    void errorOccured(const QString& errorDesc);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void reportWrongData();
    void decodeInBackground(const QString& fileName);

    // Global pointer position of the previous step of a drag; (0,0) when there is none yet.
    QPoint lastGlobalPos;
};
