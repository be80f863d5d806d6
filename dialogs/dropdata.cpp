#include "dialogs/dropdata.h"

#include <QMimeData>
#include <QStringList>
#include <QUrl>

namespace BL::Dialogs {

namespace {

// A Windows clipboard format reaches Qt either under its own name or wrapped in Qt's
// generic Windows mime type, depending on how the drop was converted.
QByteArray windowsFormat(const QMimeData* mime, const QString& name)
{
    const QString wrapped = QStringLiteral("application/x-qt-windows-mime;value=\"%1\"").arg(name);
    for (const QString& format : {name, wrapped})
        if (mime->hasFormat(format))
            return mime->data(format);
    return {};
}

bool isWebLink(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

// Fills in from a URL what is still missing: a file:// URL is a file name, a web URL a link.
void take(const QUrl& url, SDropContents& contents)
{
    if (url.isLocalFile()) {
        if (contents.fileName.isEmpty())
            contents.fileName = url.toLocalFile();
    } else if (isWebLink(url)) {
        if (contents.link.isEmpty())
            contents.link = url.toString(QUrl::FullyEncoded);
    }
}

// Text that is one URL and nothing else; selected prose must not turn into a link.
QUrl urlFromText(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.contains(QLatin1Char(' ')) || trimmed.contains(QLatin1Char('\n')) ||
        trimmed.contains(QLatin1Char('\t')))
        return {};
    return QUrl(trimmed, QUrl::StrictMode);
}

} // namespace

QString decodeUtf16(const QByteArray& data)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const int units = data.size() / 2;
    bool bigEndian = false;
    int first = 0;
    if (units > 0 && bytes[0] == 0xfe && bytes[1] == 0xff) {
        bigEndian = true;
        first = 1;
    } else if (units > 0 && bytes[0] == 0xff && bytes[1] == 0xfe) {
        first = 1;
    }
    QString text;
    text.reserve(units - first);
    for (int i = first; i < units; ++i) {
        const unsigned char a = bytes[2 * i];
        const unsigned char b = bytes[2 * i + 1];
        const char16_t unit = bigEndian ? char16_t((a << 8) | b) : char16_t((b << 8) | a);
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    return text;
}

SDropContents readDropContents(const QMimeData* mime)
{
    SDropContents contents;
    if (!mime)
        return contents;
    contents.fileName = decodeUtf16(windowsFormat(mime, QStringLiteral("FileNameW")));
    contents.link = decodeUtf16(windowsFormat(mime, QStringLiteral("UniformResourceLocatorW")));
    // Whoever offers this format, only a web link counts; the other formats may still give one.
    if (!contents.link.isEmpty() && !isWebLink(urlFromText(contents.link)))
        contents.link.clear();

    // File managers: one file:// URL per dropped file; browsers: the dragged link.
    if (mime->hasUrls()) {
        const QList<QUrl> urls = mime->urls();
        for (const QUrl& url : urls)
            take(url, contents);
    }
    // Firefox: UTF-16 "url\ntitle".
    const QString mozFormat = QStringLiteral("text/x-moz-url");
    if (mime->hasFormat(mozFormat)) {
        const QString mozUrl = decodeUtf16(mime->data(mozFormat)).section(QLatin1Char('\n'), 0, 0);
        take(urlFromText(mozUrl), contents);
    }
    if (mime->hasText())
        take(urlFromText(mime->text()), contents);
    return contents;
}

} // namespace BL::Dialogs
