#include "api/customuploadrequest.h"

#include "api/uploadersyntax.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QUrlQuery>

namespace BL::Api {

namespace {

bool sameOrigin(const QUrl& a, const QUrl& b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(a.scheme() == QLatin1String("https") ? 443 : 80) ==
               b.port(b.scheme() == QLatin1String("https") ? 443 : 80);
}

bool isWebAddress(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

// A request-side field: only {filename}, {random} and {base64} mean anything before the reply.
QString expandRequest(const QString& text, const QString& fileName)
{
    QString expanded = UploaderSyntax::expand(text, SUploaderReply(), fileName);
    expanded.remove(QLatin1Char('\r'));
    expanded.remove(QLatin1Char('\n'));
    return expanded;
}

QByteArray quotedName(const QString& name)
{
    QByteArray out = name.toUtf8();
    out.replace('"', "%22");
    out.replace('\r', "");
    out.replace('\n', "");
    return out;
}

} // namespace

CCustomUploadRequest::CCustomUploadRequest(SCustomUploader uploader, QByteArray file, QString fileName,
                                           QString mimeType, QObject* parent)
    : QObject(parent), m_uploader(std::move(uploader)), m_file(std::move(file)),
      m_fileName(std::move(fileName)), m_mimeType(std::move(mimeType))
{
}

CCustomUploadRequest::~CCustomUploadRequest()
{
    if (m_reply)
        m_reply->abort();
}

QUrl CCustomUploadRequest::firstUrl() const
{
    QUrl url(expandRequest(m_uploader.requestUrl, m_fileName));
    if (!m_uploader.parameters.isEmpty()) {
        QUrlQuery query(url);
        for (const auto& [name, value] : m_uploader.parameters)
            query.addQueryItem(expandRequest(name, m_fileName), expandRequest(value, m_fileName));
        url.setQuery(query);
    }
    return url;
}

QByteArray CCustomUploadRequest::buildBody(QByteArray* contentType) const
{
    switch (m_uploader.body) {
    case SCustomUploader::EBody::MultipartFormData: {
        const QByteArray boundary =
            "----brightloom" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        QByteArray body;
        for (const auto& [name, value] : m_uploader.arguments) {
            body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                    quotedName(expandRequest(name, m_fileName)) + "\"\r\n\r\n" +
                    expandRequest(value, m_fileName).toUtf8() + "\r\n";
        }
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                quotedName(expandRequest(m_uploader.fileFormName, m_fileName)) + "\"; filename=\"" +
                quotedName(m_fileName) + "\"\r\nContent-Type: " + m_mimeType.toLatin1() + "\r\n\r\n";
        body += m_file;
        body += "\r\n--" + boundary + "--\r\n";
        *contentType = "multipart/form-data; boundary=" + boundary;
        return body;
    }
    case SCustomUploader::EBody::FormUrlEncoded: {
        QUrlQuery form;
        for (const auto& [name, value] : m_uploader.arguments)
            form.addQueryItem(expandRequest(name, m_fileName), expandRequest(value, m_fileName));
        *contentType = "application/x-www-form-urlencoded";
        return form.toString(QUrl::FullyEncoded).toUtf8();
    }
    case SCustomUploader::EBody::Json:
        *contentType = "application/json";
        return expandRequest(m_uploader.data, m_fileName).toUtf8();
    case SCustomUploader::EBody::Binary:
        *contentType = m_mimeType.toLatin1();
        return m_file;
    case SCustomUploader::EBody::None:
        break;
    }
    return {};
}

void CCustomUploadRequest::start(QNetworkAccessManager* network)
{
    m_network = network;
    m_url = firstUrl();
    m_origin = m_url;
    if (!isWebAddress(m_url)) {
        emit failed(tr("The uploader's address is not an http or https address."));
        return;
    }
    m_body = buildBody(&m_contentType);
    send(m_url, m_uploader.method.toLatin1(), m_uploader.body != SCustomUploader::EBody::None, true);
}

void CCustomUploadRequest::send(const QUrl& url, const QByteArray& method, bool withBody, bool withHeaders)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeoutMs);
    if (withBody)
        request.setHeader(QNetworkRequest::ContentTypeHeader, m_contentType);
    if (withHeaders)
        for (const auto& [name, value] : m_uploader.headers)
            request.setRawHeader(name.toLatin1(), expandRequest(value, m_fileName).toUtf8());
    m_url = url;
    m_tooLarge = false;
    m_reply = m_network->sendCustomRequest(request, method, withBody ? m_body : QByteArray());
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (m_reply && m_reply->bytesAvailable() > maxReplyBytes) {
            m_tooLarge = true;
            m_reply->abort();
        }
    });
    connect(m_reply, &QNetworkReply::finished, this, &CCustomUploadRequest::onFinished);
}

void CCustomUploadRequest::onFinished()
{
    QNetworkReply* reply = m_reply;
    if (!reply)
        return;
    reply->deleteLater();
    m_reply = nullptr;
    const QString host = m_origin.host();
    if (m_tooLarge) {
        emit failed(tr("The reply of %1 was larger than 1 MiB.").arg(host));
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0) {
        emit failed(tr("Could not reach %1: %2").arg(host, reply->errorString()));
        return;
    }
    const QByteArray location = reply->rawHeader("Location");
    if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
        !location.isEmpty()) {
        const QUrl next = m_url.resolved(QUrl::fromEncoded(location));
        if (++m_redirects > maxRedirects || !isWebAddress(next)) {
            emit failed(tr("%1 sent the upload elsewhere too often, or to no web address.").arg(host));
            return;
        }
        // 307 and 308 repeat the request; the others turn it into a GET of the new address.
        const bool repeat = status == 307 || status == 308;
        const bool withHeaders = sameOrigin(m_origin, next) && sameOrigin(m_origin, m_url);
        send(next, repeat ? m_uploader.method.toLatin1() : QByteArray("GET"),
             repeat && m_uploader.body != SCustomUploader::EBody::None, withHeaders);
        return;
    }
    const QByteArray body = reply->readAll();
    QList<QPair<QByteArray, QByteArray>> headers;
    for (const auto& pair : reply->rawHeaderPairs())
        headers.append(pair);
    finishWith(body, status, headers);
}

void CCustomUploadRequest::finishWith(const QByteArray& body, int status,
                                      const QList<QPair<QByteArray, QByteArray>>& headers)
{
    SUploaderReply reply{body, m_url, headers};
    const QString host = m_origin.host();
    const QString message =
        m_uploader.errorMessage.isEmpty()
            ? QString()
            : UploaderSyntax::expand(m_uploader.errorMessage, reply, m_fileName).trimmed();
    if (status < 200 || status > 299) {
        emit failed(message.isEmpty() ? tr("%1 answered %2.").arg(host).arg(status)
                                      : tr("%1: %2").arg(host, message.left(300)));
        return;
    }
    SCustomUploadResult result;
    result.url = UploaderSyntax::expand(m_uploader.url, reply, m_fileName).trimmed();
    result.thumbnailUrl = UploaderSyntax::expand(m_uploader.thumbnailUrl, reply, m_fileName).trimmed();
    result.deletionUrl = UploaderSyntax::expand(m_uploader.deletionUrl, reply, m_fileName).trimmed();
    if (!isWebAddress(QUrl(result.url, QUrl::StrictMode))) {
        emit failed(message.isEmpty() ? tr("The reply of %1 holds no link.").arg(host)
                                      : tr("%1: %2").arg(host, message.left(300)));
        return;
    }
    // Only web addresses leave: a reply must not make the program open anything else.
    if (!isWebAddress(QUrl(result.thumbnailUrl)))
        result.thumbnailUrl.clear();
    if (!isWebAddress(QUrl(result.deletionUrl)))
        result.deletionUrl.clear();
    emit succeeded(result);
}

} // namespace BL::Api
