#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <optional>

namespace BL::Api {

// An image host described by a custom-uploader file (JSON, `.sxcu`): how to send the picture and
// where the link, thumbnail and deletion addresses are in the reply. Field values keep their
// `{…}` syntax; CUploaderSyntax expands them.
struct SCustomUploader
{
    enum class EBody { MultipartFormData, FormUrlEncoded, Json, Binary, None };
    using SPairs = QList<QPair<QString, QString>>;

    QString name;
    QString method = QStringLiteral("POST");
    QString requestUrl;
    SPairs parameters; // added to the query
    SPairs headers;
    EBody body = EBody::MultipartFormData;
    SPairs arguments; // form fields beside the file
    QString fileFormName;
    QString data; // the body of JSON (and other text) requests
    QString url;
    QString thumbnailUrl;
    QString deletionUrl;
    QString errorMessage;
};

// The largest file read: real ones are a few hundred bytes.
constexpr qint64 maxCustomUploaderBytes = 64 * 1024;

// Reads a custom-uploader file. Refuses, with the reason in `error`, anything this program would
// not send safely or could not understand: bad JSON, another destination than images, a method
// other than POST, PUT and PATCH, an address that is not http(s), header names or values with line
// breaks, and syntax it does not know or that asks the person ({prompt}, {select}, {input}, ...).
std::optional<SCustomUploader> readCustomUploader(const QByteArray& file, QString* error);

} // namespace BL::Api
