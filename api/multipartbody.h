#pragma once

#include "api/pngencoder.h"

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QString>

namespace BL::Api {

// Pieces of the hand-built multipart/form-data bodies of the picture uploads.
// The service parses this exact framing, so the layout is fixed byte for byte.
namespace Multipart {

// "--" boundary CRLF: opens the first part.
void appendOpening(QByteArray& body);
// A text field, followed by the boundary line that opens the next part.
// CR and LF are dropped from the value: it could otherwise end the part early
// and forge a part of its own.
void appendField(QByteArray& body, const char* name, const QString& value);
// The header and data of a PNG file part, without the line that follows it.
void appendPngPart(QByteArray& body, const char* name, const QString& fileBaseName, const QByteArray& png);
// CRLF "--" boundary CRLF: ends a file part and opens the next one.
void appendSeparator(QByteArray& body);
// CRLF "--" boundary "--" CRLF: ends the last part and the body.
void appendClosing(QByteArray& body);

} // namespace Multipart

// The picture as lossless PNG bytes (encodeFastPng); empty for a null pixmap.
QByteArray encodePng(const QPixmap& pixmap);
// The same bytes as for the pixmap the image came from; safe off the GUI thread.
QByteArray encodePng(const QImage& image, EPngThreads threads = EPngThreads::Two);

} // namespace BL::Api
