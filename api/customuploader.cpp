#include "api/customuploader.h"

#include "api/uploadersyntax.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace BL::Api {

namespace {

// Names of syntax that only a reply can answer.
const QStringList replyNames = {QStringLiteral("json"),        QStringLiteral("xml"),
                                QStringLiteral("regex"),       QStringLiteral("response"),
                                QStringLiteral("responseurl"), QStringLiteral("header")};

QString textOf(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return {};
}

bool refuse(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return false;
}

// A field's text, its older `$…$` syntax rewritten; false when it uses syntax this program does not
// know, or, in a request field, syntax only a reply can answer.
bool readField(const QString& key, const QString& value, bool inReply, QString* out, QString* error)
{
    *out = UploaderSyntax::modernised(value);
    const QString unknown = UploaderSyntax::unknownName(*out);
    if (unknown == QLatin1String("{"))
        return refuse(error, QStringLiteral("%1 opens a { that it never closes").arg(key));
    if (!unknown.isEmpty()) {
        const bool asks = unknown == QLatin1String("prompt") || unknown == QLatin1String("select") ||
                          unknown == QLatin1String("input");
        return refuse(
            error,
            asks ? QStringLiteral("%1 uses {%2}, which asks while uploading: not supported").arg(key, unknown)
                 : QStringLiteral("%1 uses {%2}, which this program does not know").arg(key, unknown));
    }
    if (!inReply) {
        for (const QString& name : replyNames) {
            if (out->contains(QLatin1Char('{') + name, Qt::CaseInsensitive))
                return refuse(error,
                              QStringLiteral("%1 uses {%2}, which only a reply can answer").arg(key, name));
        }
    }
    return true;
}

bool readPairs(const QJsonObject& file, const QString& key, SCustomUploader::SPairs* out, QString* error)
{
    const QJsonValue value = file.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isObject())
        return refuse(error, QStringLiteral("%1 is not a set of names and values").arg(key));
    const QJsonObject pairs = value.toObject();
    for (auto it = pairs.begin(); it != pairs.end(); ++it) {
        QString text;
        if (!readField(key + QLatin1Char('.') + it.key(), textOf(it.value()), false, &text, error))
            return false;
        out->append({it.key(), text});
    }
    return true;
}

} // namespace

std::optional<SCustomUploader> readCustomUploader(const QByteArray& content, QString* error)
{
    if (content.size() > maxCustomUploaderBytes) {
        refuse(error, QStringLiteral("the file is larger than 64 KiB"));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        refuse(error, parseError.error != QJsonParseError::NoError
                          ? QStringLiteral("not a custom-uploader file: %1 at byte %2")
                                .arg(parseError.errorString())
                                .arg(parseError.offset)
                          : QStringLiteral("not a custom-uploader file: no JSON object"));
        return std::nullopt;
    }
    const QJsonObject file = document.object();
    SCustomUploader uploader;

    const QString destinations = file.value(QStringLiteral("DestinationType")).toString();
    if (!destinations.isEmpty() && !destinations.split(QLatin1Char(','), Qt::SkipEmptyParts)
                                        .replaceInStrings(QStringLiteral(" "), QString())
                                        .contains(QStringLiteral("ImageUploader"))) {
        refuse(error, QStringLiteral("the file describes a %1, not an image uploader").arg(destinations));
        return std::nullopt;
    }
    const QString method =
        file.value(QStringLiteral("RequestMethod")).toString(QStringLiteral("POST")).toUpper();
    if (method != QLatin1String("POST") && method != QLatin1String("PUT") &&
        method != QLatin1String("PATCH")) {
        refuse(error,
               QStringLiteral("the request method %1 is not supported: POST, PUT or PATCH").arg(method));
        return std::nullopt;
    }
    uploader.method = method;

    const auto field = [&](const char* key, bool inReply, QString* out) {
        return readField(QString::fromLatin1(key), textOf(file.value(QLatin1String(key))), inReply, out,
                         error);
    };
    if (!field("RequestURL", false, &uploader.requestUrl) ||
        !field("FileFormName", false, &uploader.fileFormName) || !field("Data", false, &uploader.data) ||
        !field("URL", true, &uploader.url) || !field("ThumbnailURL", true, &uploader.thumbnailUrl) ||
        !field("DeletionURL", true, &uploader.deletionUrl) ||
        !field("ErrorMessage", true, &uploader.errorMessage))
        return std::nullopt;
    // The address without its syntax must be an http(s) address with a host: nothing else is sent.
    static const QRegularExpression syntax(QStringLiteral(R"(\{[^{}]*\})"));
    const QUrl address(QString(uploader.requestUrl).replace(syntax, QStringLiteral("x")), QUrl::StrictMode);
    const QString scheme = address.scheme().toLower();
    if (!address.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        address.host().isEmpty()) {
        refuse(error, uploader.requestUrl.isEmpty()
                          ? QStringLiteral("the file names no request address (RequestURL)")
                          : QStringLiteral("the request address must be an http or https address: %1")
                                .arg(uploader.requestUrl.left(200)));
        return std::nullopt;
    }
    if (!readPairs(file, QStringLiteral("Parameters"), &uploader.parameters, error) ||
        !readPairs(file, QStringLiteral("Headers"), &uploader.headers, error) ||
        !readPairs(file, QStringLiteral("Arguments"), &uploader.arguments, error))
        return std::nullopt;
    // A line break in a header would let the file write headers, or a request, of its own.
    static const QRegularExpression headerName(QStringLiteral(R"(^[!#$%&'*+.^_`|~0-9A-Za-z-]+$)"));
    for (const auto& [name, value] : uploader.headers) {
        if (!headerName.match(name).hasMatch()) {
            refuse(error, QStringLiteral("the header name \"%1\" is not allowed").arg(name.left(100)));
            return std::nullopt;
        }
        if (value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n')) ||
            value.contains(QChar(0))) {
            refuse(error, QStringLiteral("the header %1 holds a line break").arg(name));
            return std::nullopt;
        }
    }

    const QString body = file.value(QStringLiteral("Body")).toString(QStringLiteral("MultipartFormData"));
    const QList<QPair<QString, SCustomUploader::EBody>> bodies = {
        {QStringLiteral("MultipartFormData"), SCustomUploader::EBody::MultipartFormData},
        {QStringLiteral("FormURLEncoded"), SCustomUploader::EBody::FormUrlEncoded},
        {QStringLiteral("JSON"), SCustomUploader::EBody::Json},
        {QStringLiteral("Binary"), SCustomUploader::EBody::Binary},
        {QStringLiteral("None"), SCustomUploader::EBody::None}};
    bool knownBody = false;
    for (const auto& [name, kind] : bodies) {
        if (body.compare(name, Qt::CaseInsensitive) == 0) {
            uploader.body = kind;
            knownBody = true;
        }
    }
    if (!knownBody) {
        refuse(error, QStringLiteral("the body kind %1 is not supported").arg(body.left(100)));
        return std::nullopt;
    }
    if (uploader.body == SCustomUploader::EBody::MultipartFormData && uploader.fileFormName.isEmpty()) {
        refuse(error, QStringLiteral("the file names no form field for the picture (FileFormName)"));
        return std::nullopt;
    }
    // Without a path to it, the link is the whole reply, as hosts that answer in plain text give it.
    if (uploader.url.isEmpty())
        uploader.url = QStringLiteral("{response}");
    uploader.name = file.value(QStringLiteral("Name")).toString().trimmed().left(100);
    if (uploader.name.isEmpty())
        uploader.name = address.host();
    if (error)
        error->clear();
    return uploader;
}

} // namespace BL::Api
