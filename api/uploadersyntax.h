#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

namespace BL::Api {

// What an image host answered, for the reply fields of a custom uploader.
struct SUploaderReply
{
    QByteArray body;
    QUrl url; // where the reply came from, after redirects
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The `{…}` syntax of custom-uploader fields: {json:path}, {xml:path}, {regex:pattern|group},
// {response}, {responseurl}, {header:name}, {filename}, {random:a|b|…}, {base64:text}, and the
// older `$json:path$` form. Braces and backslashes are escaped with a backslash.
namespace UploaderSyntax {

// The names a field may use; anything else in braces is refused at import.
bool isKnownName(const QString& name);
// The first unknown `{name…}` in `text`, or an empty string; `$…$` forms are rewritten first.
QString unknownName(const QString& text);
// `text` with every `{…}` replaced; a path or pattern that finds nothing gives an empty piece and
// sets `missing` (when given) to what was looked for.
QString expand(const QString& text, const SUploaderReply& reply, const QString& fileName,
               QString* missing = nullptr);
// The older form: `$json:data.link$` becomes `{json:data.link}`.
QString modernised(const QString& text);

} // namespace UploaderSyntax

} // namespace BL::Api
