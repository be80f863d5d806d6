#include "dialogs/dropacceptablewidget.h"

#include "dialogs/dropdata.h"
#include "dialogs/logging.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QImageReader>
#include <QMimeData>
#include <QMouseEvent>
#include <QPalette>
#include <QScreen>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

CDropAcceptableWidget::CDropAcceptableWidget()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("dropWidget"));
    setFixedSize(60, 60);
    setAttribute(Qt::WA_Hover);
    setAcceptDrops(true);

    QPalette pal = palette();
    pal.setBrush(backgroundRole(), QBrush(QPixmap(QStringLiteral(":drop_widget.png"))));
    setPalette(pal);
    setAutoFillBackground(true);

    installEventFilter(this);
}

bool CDropAcceptableWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != this)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Enter:
        setCursor(Qt::SizeAllCursor);
        lastGlobalPos = QPoint(0, 0);
        return true;
    case QEvent::Leave:
        unsetCursor();
        lastGlobalPos = QPoint(0, 0);
        return true;
    case QEvent::MouseButtonPress:
        // A drag starts where the button goes down. Without this, the first move of a second
        // drag would add whatever the pointer travelled between the drags (no move events
        // arrive while no button is held), and the window would jump.
        lastGlobalPos = static_cast<QMouseEvent*>(event)->globalPos();
        return false;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void CDropAcceptableWidget::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint global = event->globalPos();
    if (!lastGlobalPos.isNull())
        move(pos() + (global - lastGlobalPos));
    lastGlobalPos = global;
}

void CDropAcceptableWidget::dragEnterEvent(QDragEnterEvent* event)
{
    // What the drag carries is only known for certain when it is dropped.
    event->acceptProposedAction();
}

void CDropAcceptableWidget::dropEvent(QDropEvent* event)
{
    const BL::Dialogs::SDropContents contents = BL::Dialogs::readDropContents(event->mimeData());
    const QFileInfo file(contents.fileName);
    if (!contents.fileName.isEmpty() && file.exists()) {
        // Reading a pipe or a device would block the GUI thread until someone writes to it.
        if (!file.isFile()) {
            qCDebug(lcDialogs) << "Dropped name is not a regular file:" << contents.fileName;
            event->ignore();
            reportWrongData();
            return;
        }
        // The header tells the size; a small file can unpack to gigabytes of pixels.
        QImageReader reader(contents.fileName);
        const QSize size = reader.size();
        if (size.isValid() && qint64(size.width()) * size.height() > maxDroppedPixels) {
            qCDebug(lcDialogs) << "Dropped picture is too large:" << contents.fileName << size;
            event->ignore();
            emit errorOccured(
                tr("The dropped picture is too large (%1 x %2 pixels)").arg(size.width()).arg(size.height()));
            return;
        }
        if (size.isValid() && qint64(size.width()) * size.height() > decodeInBackgroundPixels) {
            // Up to the cap this still takes a while: the GUI thread keeps answering meanwhile.
            event->acceptProposedAction();
            decodeInBackground(contents.fileName);
            return;
        }
        const QImage image = reader.read();
        if (image.isNull()) {
            qCDebug(lcDialogs) << "Dropped file is not a picture:" << contents.fileName;
            event->ignore();
            reportWrongData();
            return;
        }
        emit imageDropped(QPixmap::fromImage(image));
        event->acceptProposedAction();
        return;
    }
    if (!contents.link.isEmpty()) {
        const QUrl url(contents.link, QUrl::TolerantMode);
        if (url.isValid()) {
            emit urlDropped(url);
            event->acceptProposedAction();
            return;
        }
    }

    qCDebug(lcDialogs) << "Dropped data has neither a picture file nor a link; formats:"
                       << (event->mimeData() ? event->mimeData()->formats() : QStringList());
    event->ignore();
    reportWrongData();
}

QPoint CDropAcceptableWidget::onNearestScreen(const QPoint& pos, const QSize& size,
                                              const QList<QRect>& screens)
{
    const QRect placed(pos, size);
    const QRect* nearest = nullptr;
    qint64 nearestDistance = 0;
    for (const QRect& screen : screens) {
        if (screen.contains(placed))
            return pos;
        const QPoint centre = placed.center();
        const qint64 dx = std::max({screen.left() - centre.x(), 0, centre.x() - screen.right()});
        const qint64 dy = std::max({screen.top() - centre.y(), 0, centre.y() - screen.bottom()});
        const qint64 distance = dx * dx + dy * dy;
        if (!nearest || distance < nearestDistance) {
            nearest = &screen;
            nearestDistance = distance;
        }
    }
    if (!nearest)
        return pos;
    const int x =
        std::clamp(pos.x(), nearest->left(), std::max(nearest->left(), nearest->right() + 1 - size.width()));
    const int y =
        std::clamp(pos.y(), nearest->top(), std::max(nearest->top(), nearest->bottom() + 1 - size.height()));
    return QPoint(x, y);
}

void CDropAcceptableWidget::restorePosition(const QPoint& pos)
{
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens << screen->availableGeometry();
    const QPoint visible = onNearestScreen(pos, frameGeometry().size(), screens);
    if (visible != pos)
        qCInfo(lcDialogs) << "Drop widget stored at" << pos << "is off every screen; placing it at"
                          << visible;
    move(visible);
}

void CDropAcceptableWidget::decodeInBackground(const QString& fileName)
{
    // The watcher is ours: if the widget goes first, the result is dropped with it.
    auto* watcher = new QFutureWatcher<QImage>(this);
    connect(
        watcher, &QFutureWatcher<QImage>::finished, this,
        [this, watcher, fileName] {
            const QImage image = watcher->result();
            watcher->deleteLater();
            if (image.isNull()) {
                qCDebug(lcDialogs) << "Dropped file is not a picture:" << fileName;
                reportWrongData();
                return;
            }
            emit imageDropped(QPixmap::fromImage(image));
        });
    watcher->setFuture(QtConcurrent::run([fileName] { return QImageReader(fileName).read(); }));
}

void CDropAcceptableWidget::reportWrongData()
{
    emit errorOccured(tr("Wrong data was dropped"));
}
