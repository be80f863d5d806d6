#include "diagnostics/appcast.h"

#include "diagnostics/logging.h"

#include <QXmlStreamReader>

namespace {

// Links from a feed end up in the browser: only web pages, never local files or scripts.
QUrl webUrl(const QString& text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return QUrl();
    return url;
}

SAppcastItem readItem(QXmlStreamReader& xml)
{
    SAppcastItem item;
    QUrl enclosure;
    while (xml.readNextStartElement()) {
        const QStringRef name = xml.name();
        if (name == QLatin1String("enclosure")) {
            const QXmlStreamAttributes attributes = xml.attributes();
            for (const QXmlStreamAttribute& attribute : attributes)
                if (attribute.name() == QLatin1String("version") && item.version.isEmpty())
                    item.version = attribute.value().trimmed().toString();
                else if (attribute.name() == QLatin1String("shortVersionString") &&
                         item.displayVersion.isEmpty())
                    item.displayVersion = attribute.value().trimmed().toString();
                else if (attribute.name() == QLatin1String("url"))
                    enclosure = webUrl(attribute.value().toString());
            xml.skipCurrentElement();
        } else if (name == QLatin1String("version")) {
            item.version = xml.readElementText().trimmed();
        } else if (name == QLatin1String("shortVersionString")) {
            item.displayVersion = xml.readElementText().trimmed();
        } else if (name == QLatin1String("releaseNotesLink")) {
            item.releaseNotesLink = webUrl(xml.readElementText());
        } else if (name == QLatin1String("title") && xml.namespaceUri().isEmpty()) {
            item.title = xml.readElementText().trimmed();
        } else if (name == QLatin1String("description") && xml.namespaceUri().isEmpty()) {
            item.releaseNotes = xml.readElementText().trimmed();
        } else if (name == QLatin1String("link") && xml.namespaceUri().isEmpty()) {
            item.downloadPage = webUrl(xml.readElementText());
        } else {
            xml.skipCurrentElement();
        }
    }
    if (item.downloadPage.isEmpty())
        item.downloadPage = enclosure;
    if (item.displayVersion.isEmpty())
        item.displayVersion = item.version;
    item.build = buildOfVersion(item.version);
    return item;
}

// The feed without an XML declaration that names UTF-8, which is what an undeclared document is
// read as anyway. A declared encoding is looked up by name, and Qt built on ICU does that through
// ICU's alias tables, which then stay resident (0.8 MiB) for the rest of the run.
QByteArray withoutUtf8Declaration(const QByteArray& data)
{
    if (!data.startsWith("<?xml"))
        return data;
    const int end = data.indexOf("?>");
    const QByteArray declaration = data.left(end).toLower();
    const int encoding = declaration.indexOf("encoding");
    if (end < 0 || encoding < 0)
        return data;
    const QByteArray value = declaration.mid(encoding + 8).replace('\'', '"').split('"').value(1).trimmed();
    return value == "utf-8" || value == "utf8" ? data.mid(end + 2) : data;
}

} // namespace

qint64 buildOfVersion(const QString& version)
{
    const QString last = version.section(QLatin1Char('.'), -1);
    bool ok = false;
    const qint64 build = last.toLongLong(&ok, 10);
    return ok && build >= 0 && !last.startsWith(QLatin1Char('+')) ? build : -1;
}

bool parseAppcast(const QByteArray& data, QList<SAppcastItem>* items, QString* error)
{
    items->clear();
    QXmlStreamReader xml(withoutUtf8Declaration(data));
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("rss")) {
        *error = xml.hasError() ? QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(xml.errorString())
                                : QStringLiteral("not an RSS feed");
        return false;
    }
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("channel")) {
            xml.skipCurrentElement();
            continue;
        }
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("item")) {
                xml.skipCurrentElement();
                continue;
            }
            SAppcastItem item = readItem(xml);
            if (item.version.isEmpty())
                qCWarning(lcDiagnostics) << "update feed: an item without a version is skipped" << item.title;
            else
                items->append(std::move(item));
        }
    }
    // Trailing junk after the document is as broken as a cut-off one.
    while (!xml.atEnd() && !xml.hasError())
        xml.readNext();
    if (xml.hasError()) {
        *error = QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(xml.errorString());
        items->clear();
        return false;
    }
    return true;
}

std::optional<SAppcastItem> newestItemAbove(const QList<SAppcastItem>& items, qint64 currentBuild)
{
    std::optional<SAppcastItem> newest;
    for (const SAppcastItem& item : items)
        if (item.build > currentBuild && (!newest || item.build > newest->build))
            newest = item;
    return newest;
}
