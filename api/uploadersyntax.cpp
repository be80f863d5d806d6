#include "api/uploadersyntax.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>

namespace BL::Api::UploaderSyntax {

namespace {

const QStringList knownNames = {
    QStringLiteral("json"),     QStringLiteral("xml"),         QStringLiteral("regex"),
    QStringLiteral("response"), QStringLiteral("responseurl"), QStringLiteral("header"),
    QStringLiteral("filename"), QStringLiteral("random"),      QStringLiteral("base64")};

// One `{name:argument}` found in a text: where it ends (after its closing brace).
struct SToken
{
    QString name;
    QString argument; // escapes kept
    int end = 0;
};

// The token opening at `open` (a `{`), its braces nested and escaped; end 0 when it never closes.
SToken tokenAt(const QString& text, int open)
{
    int depth = 0;
    for (int i = open; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            ++i;
        } else if (c == QLatin1Char('{')) {
            ++depth;
        } else if (c == QLatin1Char('}') && --depth == 0) {
            const QString inner = text.mid(open + 1, i - open - 1);
            const int colon = inner.indexOf(QLatin1Char(':'));
            SToken token;
            token.name = (colon < 0 ? inner : inner.left(colon)).trimmed().toLower();
            token.argument = colon < 0 ? QString() : inner.mid(colon + 1);
            token.end = i + 1;
            return token;
        }
    }
    return {};
}

// `text` with the escapes of braces, bars and backslashes undone.
QString unescaped(const QString& text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size() &&
            QStringLiteral("{}|\\").contains(text.at(i + 1)))
            ++i;
        out += text.at(i);
    }
    return out;
}

// The last `|` that no backslash escapes, or -1.
int lastBar(const QString& text)
{
    for (int i = text.size() - 1; i >= 0; --i)
        if (text.at(i) == QLatin1Char('|') && (i == 0 || text.at(i - 1) != QLatin1Char('\\')))
            return i;
    return -1;
}

QString jsonText(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double: {
        const double number = value.toDouble();
        return number == static_cast<double>(static_cast<qint64>(number))
                   ? QString::number(static_cast<qint64>(number))
                   : QString::number(number);
    }
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return {};
}

// A path such as `data.link`, `files[0].url`, `[0].link` or `$.data.link`.
bool jsonAt(const QByteArray& body, const QString& path, QString* found)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return false;
    QJsonValue value = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    QString rest = path.trimmed();
    if (rest.startsWith(QLatin1Char('$')))
        rest.remove(0, 1);
    static const QRegularExpression step(
        QStringLiteral(R"(^\.?([^.\[\]]+)|^\[(\d+)\]|^\[['"]([^'"]*)['"]\])"));
    while (!rest.isEmpty()) {
        const QRegularExpressionMatch match = step.match(rest);
        if (!match.hasMatch())
            return false;
        if (!match.captured(2).isEmpty()) {
            if (!value.isArray())
                return false;
            value = value.toArray().at(match.captured(2).toInt());
        } else {
            const QString key = match.captured(1).isEmpty() ? match.captured(3) : match.captured(1);
            if (!value.isObject() || !value.toObject().contains(key))
                return false;
            value = value.toObject().value(key);
        }
        if (value.isUndefined())
            return false;
        rest.remove(0, match.capturedLength(0));
    }
    *found = jsonText(value);
    return !value.isNull();
}

// A path of element names, `/rsp/image_link` from the root or `//link` (also `link`) anywhere.
bool xmlAt(const QByteArray& body, const QString& path, QString* found)
{
    const bool anywhere = path.startsWith(QLatin1String("//")) || !path.startsWith(QLatin1Char('/'));
    const QStringList names = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (names.isEmpty())
        return false;
    QXmlStreamReader reader(body);
    QStringList open;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            open.append(reader.name().toString());
            const bool matches =
                anywhere ? open.size() >= names.size() && open.mid(open.size() - names.size()) == names
                         : open == names;
            if (matches) {
                *found = reader.readElementText(QXmlStreamReader::IncludeChildElements);
                return !reader.hasError();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            open.removeLast();
        }
    }
    return false;
}

// `pattern|group`, the group a number or a name; without one, the whole match.
bool regexAt(const QByteArray& body, const QString& argument, QString* found)
{
    QString pattern = argument;
    QString group;
    const int bar = lastBar(argument);
    // After the last bar, a number or the name of one of the pattern's groups; anything else is
    // the pattern's own alternation.
    const QString after = bar >= 0 ? argument.mid(bar + 1).trimmed() : QString();
    static const QRegularExpression digits(QStringLiteral(R"(^\d+$)"));
    const bool isGroup =
        !after.isEmpty() && (digits.match(after).hasMatch() ||
                             argument.left(bar).contains(QStringLiteral("(?<") + after + QLatin1Char('>')) ||
                             argument.left(bar).contains(QStringLiteral("(?P<") + after + QLatin1Char('>')));
    if (isGroup) {
        pattern = argument.left(bar);
        group = argument.mid(bar + 1).trimmed();
    }
    const QRegularExpression expression(unescaped(pattern));
    if (!expression.isValid())
        return false;
    // PCRE2's match limit ends a pattern that backtracks without end: no match, no hang.
    const QRegularExpressionMatch match = expression.match(QString::fromUtf8(body));
    if (!match.hasMatch())
        return false;
    bool number = false;
    const int index = group.toInt(&number);
    *found = group.isEmpty() ? match.captured(0) : number ? match.captured(index) : match.captured(group);
    return !found->isNull();
}

} // namespace

bool isKnownName(const QString& name)
{
    return knownNames.contains(name);
}

QString modernised(const QString& text)
{
    static const QRegularExpression older(QStringLiteral(
        R"(\$(json|xml|regex|response|responseurl|header|filename|random|base64)(:[^$]*)?\$)"));
    QString out = text;
    out.replace(older, QStringLiteral("{\\1\\2}"));
    return out;
}

QString unknownName(const QString& text)
{
    const QString modern = modernised(text);
    for (int i = 0; i < modern.size(); ++i) {
        if (modern.at(i) == QLatin1Char('\\')) {
            ++i;
        } else if (modern.at(i) == QLatin1Char('{')) {
            const SToken token = tokenAt(modern, i);
            if (token.end == 0)
                return QStringLiteral("{");
            if (!isKnownName(token.name))
                return token.name;
            if (token.name != QLatin1String("regex")) {
                const QString inner = unknownName(token.argument);
                if (!inner.isEmpty())
                    return inner;
            }
            i = token.end - 1;
        }
    }
    return {};
}

QString expand(const QString& text, const SUploaderReply& reply, const QString& fileName, QString* missing)
{
    const QString modern = modernised(text);
    QString out;
    for (int i = 0; i < modern.size(); ++i) {
        const QChar c = modern.at(i);
        if (c == QLatin1Char('\\') && i + 1 < modern.size() &&
            QStringLiteral("{}|\\").contains(modern.at(i + 1))) {
            out += modern.at(++i);
            continue;
        }
        const SToken token = c == QLatin1Char('{') ? tokenAt(modern, i) : SToken();
        if (token.end == 0) {
            out += c;
            continue;
        }
        i = token.end - 1;
        const QString argument = token.name == QLatin1String("regex")
                                     ? token.argument
                                     : unescaped(expand(token.argument, reply, fileName, missing));
        QString piece;
        bool ok = true;
        if (token.name == QLatin1String("json")) {
            ok = jsonAt(reply.body, argument, &piece);
        } else if (token.name == QLatin1String("xml")) {
            ok = xmlAt(reply.body, argument, &piece);
        } else if (token.name == QLatin1String("regex")) {
            ok = regexAt(reply.body, argument, &piece);
        } else if (token.name == QLatin1String("response")) {
            piece = QString::fromUtf8(reply.body);
        } else if (token.name == QLatin1String("responseurl")) {
            piece = reply.url.toString();
        } else if (token.name == QLatin1String("header")) {
            ok = false;
            for (const auto& [name, value] : reply.headers) {
                if (QString::fromLatin1(name).compare(argument.trimmed(), Qt::CaseInsensitive) == 0) {
                    piece = QString::fromLatin1(value);
                    ok = true;
                    break;
                }
            }
        } else if (token.name == QLatin1String("filename")) {
            piece = fileName;
        } else if (token.name == QLatin1String("random")) {
            const QStringList choices = argument.split(QLatin1Char('|'));
            piece = choices.at(static_cast<int>(QRandomGenerator::global()->bounded(choices.size())));
        } else if (token.name == QLatin1String("base64")) {
            piece = QString::fromLatin1(argument.toUtf8().toBase64());
        } else {
            ok = false;
        }
        if (!ok && missing && missing->isEmpty())
            *missing = QLatin1Char('{') + token.name +
                       (token.argument.isEmpty() ? QString() : QLatin1Char(':') + token.argument) +
                       QLatin1Char('}');
        out += piece;
    }
    return out;
}

} // namespace BL::Api::UploaderSyntax
