#include "api/multipartbody.h"

#include "api/httprequest.h"
#include "api/logging.h"
#include "api/pngencoder.h"

namespace BL::Api {
namespace Multipart {

namespace {
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QByteArray kDashes = QByteArrayLiteral("--");

QByteArray singleLine(const QString& value)
{
    QByteArray bytes = value.toUtf8();
    bytes.replace('\r', QByteArray());
    bytes.replace('\n', QByteArray());
    return bytes;
}
} // namespace

void appendOpening(QByteArray& body)
{
    body += kDashes + multipartBoundary + kCrLf;
}

void appendField(QByteArray& body, const char* name, const QString& value)
{
    body += QByteArrayLiteral("Content-Disposition: form-data; name=\"") + name + '"' + kCrLf + kCrLf;
    body += singleLine(value) + kCrLf;
    appendOpening(body);
}

void appendPngPart(QByteArray& body, const char* name, const QString& fileBaseName, const QByteArray& png)
{
    body += QByteArrayLiteral("Content-Disposition: form-data; name=\"") + name + "\"; filename=\"" +
            fileBaseName.toUtf8() + ".png\"" + kCrLf;
    body += QByteArrayLiteral("Content-Type: image/png") + kCrLf + kCrLf;
    body += png;
}

void appendSeparator(QByteArray& body)
{
    body += kCrLf;
    appendOpening(body);
}

void appendClosing(QByteArray& body)
{
    body += kCrLf + kDashes + multipartBoundary + kDashes + kCrLf;
}

} // namespace Multipart

QByteArray encodePng(const QPixmap& pixmap)
{
    return pixmap.isNull() ? QByteArray() : encodePng(pixmap.toImage());
}

QByteArray encodePng(const QImage& image, EPngThreads threads)
{
    if (image.isNull())
        return {};
    const QByteArray png = encodeFastPng(image, threads);
    // The service decides what to make of an empty file part.
    if (png.isEmpty())
        qCWarning(lcApi) << "Could not encode a picture of size" << image.size() << "as PNG";
    return png;
}

} // namespace BL::Api
