#pragma once

// What the drop tests share: real drop events sent to the drop widget, and PNG files made here.
#include "dialogs/dropacceptablewidget.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QSignalSpy>
#include <memory>

namespace BL::Test {

const QString kWrongData = QStringLiteral("Wrong data was dropped");

struct SOutcome
{
    QList<QPixmap> pictures;
    QList<QUrl> urls;
    QStringList errors;
    bool enterAccepted = false;
    bool dropAccepted = false;
};

// Sends a drag entering and a drop of `mime` (taken over) to the widget, and reports what came
// out of it while the drop was handled.
inline SOutcome dropOnto(CDropAcceptableWidget* widget, QMimeData* mime)
{
    std::unique_ptr<QMimeData> owner(mime);
    SOutcome outcome;
    QSignalSpy pictures(widget, &CDropAcceptableWidget::imageDropped);
    QSignalSpy urls(widget, &CDropAcceptableWidget::urlDropped);
    QSignalSpy errors(widget, &CDropAcceptableWidget::errorOccured);

    QDragEnterEvent enter(QPoint(30, 30), Qt::CopyAction | Qt::LinkAction, mime, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &enter);
    outcome.enterAccepted = enter.isAccepted() && enter.dropAction() == Qt::CopyAction;

    QDropEvent dropEvent(QPointF(30, 30), Qt::CopyAction | Qt::LinkAction, mime, Qt::LeftButton,
                         Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &dropEvent);
    outcome.dropAccepted = dropEvent.isAccepted();

    for (const QList<QVariant>& args : pictures)
        outcome.pictures << args.at(0).value<QPixmap>();
    for (const QList<QVariant>& args : urls)
        outcome.urls << args.at(0).toUrl();
    for (const QList<QVariant>& args : errors)
        outcome.errors << args.at(0).toString();
    return outcome;
}

// CRC-32 of a PNG chunk's type and data.
inline quint32 pngCrc(const QByteArray& bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xedb88320u : crc >> 1;
    }
    return crc ^ 0xffffffffu;
}

inline QByteArray pngChunk(const QByteArray& type, const QByteArray& data)
{
    QByteArray chunk;
    QDataStream out(&chunk, QIODevice::WriteOnly);
    out << quint32(data.size());
    chunk += type + data;
    QByteArray crc;
    QDataStream(&crc, QIODevice::WriteOnly) << pngCrc(type + data);
    return chunk + crc;
}

// A valid black one-bit PNG of `side` x `side` pixels that compresses to a few kilobytes.
inline QByteArray pngBomb(int side)
{
    QByteArray header;
    QDataStream(&header, QIODevice::WriteOnly)
        << quint32(side) << quint32(side) << quint8(1) << quint8(0) << quint8(0) << quint8(0) << quint8(0);
    const int rowBytes = 1 + (side + 7) / 8; // filter byte, then the bits
    // qCompress: a 4-byte length, then a zlib stream, which is what IDAT holds.
    const QByteArray idat = qCompress(QByteArray(qint64(rowBytes) * side, '\0'), 9).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", idat) +
           pngChunk("IEND", {});
}

} // namespace BL::Test
