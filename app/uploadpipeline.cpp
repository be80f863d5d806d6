#include "app/uploadpipeline.h"

#include "api/pixmapuploadrequest.h"
#include "api/reservecoderequest.h"
#include "api/servermanager.h"
#include "api/uploadurlrequest.h"
#include "app/perfprobe.h"
#include "app/pictureencoder.h"

#include <QPixmap>
#include <QUrl>
#include <QVariant>

namespace BL::App {

namespace {

// The pictures a reservation carries, in upload order; none for a URL.
QList<QPixmap> carriedPictures(const QObject* reservation)
{
    QList<QPixmap> pictures;
    for (const char* name : {"value", "value2"}) {
        const QVariant value = reservation->property(name);
        if (value.canConvert<QPixmap>() && !value.value<QPixmap>().isNull())
            pictures << value.value<QPixmap>();
    }
    return pictures;
}

} // namespace

CUploadPipeline::CUploadPipeline(ClipboardWriter clipboard, SUploadNotifier notifier, QObject* parent)
    : QObject(parent), m_clipboard(std::move(clipboard)), m_notifier(std::move(notifier))
{
}

CUploadPipeline::~CUploadPipeline() = default;

void CUploadPipeline::reserveAhead()
{
    dropAhead();
    auto* request = new CReserveCodeRequest;
    request->setTransferTimeout(m_transferTimeoutMs);
    if (m_expirySeconds >= 0)
        request->setExpiry(m_expirySeconds);
    request->setProperty("type", BL::Api::PixmapUploadKind);
    m_ahead = std::make_unique<SAhead>();
    m_ahead->request = request;
    // A dropped reservation is disconnected, so these only ever see the current one.
    connect(request, &CReserveCodeRequest::codeReserved, this,
            [this](const QString& code, const QString& url) {
                m_ahead->answered = true;
                m_ahead->code = code;
                m_ahead->url = url;
                continueAhead();
            });
    connect(request, &CReserveCodeRequest::errorOccured, this, [this](const QString& error) {
        m_ahead->answered = true;
        m_ahead->failed = true;
        m_ahead->error = error;
        continueAhead();
    });
    CServerManager::instance()->sendRequest(request);
}

void CUploadPipeline::dropAhead()
{
    if (!m_ahead)
        return;
    if (m_ahead->request)
        m_ahead->request->disconnect(this);
    if (m_ahead->encoder)
        m_ahead->encoder->deleteLater();
    m_ahead.reset();
}

void CUploadPipeline::continueAhead()
{
    // Both halves are needed: the answer, and the picture the link will show.
    if (!m_ahead || !m_ahead->answered || m_ahead->picture.isNull())
        return;
    const std::unique_ptr<SAhead> ahead = std::move(m_ahead);
    if (ahead->request)
        ahead->request->disconnect(this);
    if (ahead->failed) {
        if (ahead->encoder)
            ahead->encoder->deleteLater();
        m_notifier.reservationFailed(ahead->error, {ahead->picture});
        return;
    }
    m_clipboard(ahead->url);
    CPictureEncoder* encoder = ahead->encoder ? ahead->encoder : new CPictureEncoder({ahead->picture}, this);
    m_notifier.reserved(ahead->code, ahead->url);
    sendWhenEncoded(encoder, BL::Api::PixmapUploadKind, ahead->code, {ahead->picture});
}

void CUploadPipeline::uploadPicture(const QPixmap& picture)
{
    if (picture.isNull()) {
        qDebug("void BL::startUploadingSnapshot(const QPixmap &pm). Null pixmap was tried to upload");
        dropAhead();
        return;
    }
    if (m_ahead && m_ahead->picture.isNull()) {
        m_notifier.started();
        m_ahead->picture = picture;
        // With the link already known it goes on the clipboard first: the encoder's threads
        // would compete with the clipboard hand-over for the processor. Otherwise the
        // encoding starts now, while the answer is on its way.
        if (!m_ahead->answered)
            m_ahead->encoder = new CPictureEncoder({picture}, this);
        continueAhead();
        return;
    }
    reserve(BL::Api::PixmapUploadKind, QVariant::fromValue(picture), QVariant());
}

void CUploadPipeline::uploadPair(const QPixmap& first, const QPixmap& second)
{
    if (first.isNull() || second.isNull())
        return;
    reserve(BL::Api::ComparisonUploadKind, QVariant::fromValue(first), QVariant::fromValue(second));
}

void CUploadPipeline::uploadUrl(const QUrl& url)
{
    reserve(BL::Api::UrlUploadKind, url, QVariant());
}

void CUploadPipeline::reserve(int kind, const QVariant& value, const QVariant& value2)
{
    m_notifier.started();
    auto* request = new CReserveCodeRequest;
    request->setTransferTimeout(m_transferTimeoutMs);
    if (m_expirySeconds >= 0)
        request->setExpiry(m_expirySeconds);
    request->setProperty("type", kind);
    request->setProperty("value", value);
    if (value2.isValid())
        request->setProperty("value2", value2);
    if (kind != BL::Api::UrlUploadKind)
        new CPictureEncoder(carriedPictures(request), request);
    connect(request, &CReserveCodeRequest::codeReserved, this, &CUploadPipeline::onUrlCodeReserved);
    connect(request, &CReserveCodeRequest::errorOccured, this,
            [notify = m_notifier.reservationFailed, request](const QString& error) {
                notify(error, carriedPictures(request));
            });
    CServerManager::instance()->sendRequest(request);
}

void CUploadPipeline::onUrlCodeReserved(const QString& code, const QString& url)
{
    m_clipboard(url);
    m_notifier.reserved(code, url);
    auto* reservation = qobject_cast<CReserveCodeRequest*>(sender());
    if (!reservation)
        return;
    const int kind = reservation->property("type").toInt();
    if (kind == BL::Api::UrlUploadKind) {
        send(new CUploadUrlRequest(reservation->property("value").toUrl(), code), kind, code, {});
        return;
    }
    // The reservation goes away after this slot; its encoder lives on until the upload is sent.
    auto* encoder = reservation->findChild<CPictureEncoder*>();
    if (!encoder || (kind != BL::Api::PixmapUploadKind && kind != BL::Api::ComparisonUploadKind))
        return;
    sendWhenEncoded(encoder, kind, code, carriedPictures(reservation));
}

void CUploadPipeline::sendWhenEncoded(CPictureEncoder* encoder, int kind, const QString& code,
                                      const QList<QPixmap>& pictures)
{
    encoder->setParent(this);
    auto sendEncoded = [this, encoder, kind, code, pictures] {
        qCDebug(lcPerf) << "perf encoded" << monotonicMicroseconds();
        const QList<QByteArray> png = encoder->result();
        encoder->deleteLater();
        CPictureUploadRequest* upload = nullptr;
        if (kind == BL::Api::PixmapUploadKind && png.size() == 1)
            upload = new CPixmapUploadRequest(png.at(0), code);
        else if (kind == BL::Api::ComparisonUploadKind && png.size() == 2)
            upload = new CUploadComparisonShotRequest(png.at(0), png.at(1), code);
        if (!upload)
            return;
        upload->setScale(pictures.value(0).devicePixelRatio());
        send(upload, kind, code, pictures);
    };
    if (encoder->isFinished())
        sendEncoded();
    else
        connect(encoder, &CPictureEncoder::finished, this, sendEncoded);
}

template<typename Upload>
void CUploadPipeline::send(Upload* upload, int kind, const QString& code, const QList<QPixmap>& pictures)
{
    upload->setTransferTimeout(m_transferTimeoutMs);
    connect(
        upload, &Upload::uploadedOk, this,
        [notify = m_notifier.uploaded, shared = m_notifier.shared, kind, code,
         pictures](const QString& link) {
            notify(link);
            if (shared)
                shared(code, link, kind, pictures);
        });
    connect(upload, &Upload::uploadingFailed, this,
            [notify = m_notifier.uploadFailed, pictures](const QString& error) { notify(error, pictures); });
    CServerManager::instance()->sendRequest(upload);
}

} // namespace BL::App
