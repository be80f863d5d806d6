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

CUploadPipeline::CUploadPipeline(ClipboardWriter clipboard, SUploadNotifier notifier, QObject* parent)
    : QObject(parent), m_clipboard(std::move(clipboard)), m_notifier(std::move(notifier))
{
}

void CUploadPipeline::uploadPicture(const QPixmap& picture)
{
    if (picture.isNull()) {
        qDebug("void BL::startUploadingSnapshot(const QPixmap &pm). Null pixmap was tried to upload");
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
    request->setProperty("type", kind);
    request->setProperty("value", value);
    if (value2.isValid())
        request->setProperty("value2", value2);
    if (kind != BL::Api::UrlUploadKind) {
        QList<QPixmap> pictures{value.value<QPixmap>()};
        if (value2.isValid())
            pictures << value2.value<QPixmap>();
        new CPictureEncoder(pictures, request);
    }
    connect(request, &CReserveCodeRequest::codeReserved, this, &CUploadPipeline::onUrlCodeReserved);
    connect(request, &CReserveCodeRequest::errorOccured, this,
            [notify = m_notifier.reservationFailed](const QString& error) { notify(error); });
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
        send(new CUploadUrlRequest(reservation->property("value").toUrl(), code));
        return;
    }
    // The reservation goes away after this slot; its encoder lives on until the upload is sent.
    auto* encoder = reservation->findChild<CPictureEncoder*>();
    if (!encoder || (kind != BL::Api::PixmapUploadKind && kind != BL::Api::ComparisonUploadKind))
        return;
    encoder->setParent(this);
    auto sendEncoded = [this, encoder, kind, code] {
        qCDebug(lcPerf) << "perf encoded" << monotonicMicroseconds();
        const QList<QByteArray> png = encoder->result();
        encoder->deleteLater();
        if (kind == BL::Api::PixmapUploadKind && png.size() == 1)
            send(new CPixmapUploadRequest(png.at(0), code));
        else if (kind == BL::Api::ComparisonUploadKind && png.size() == 2)
            send(new CUploadComparisonShotRequest(png.at(0), png.at(1), code));
    };
    if (encoder->isFinished())
        sendEncoded();
    else
        connect(encoder, &CPictureEncoder::finished, this, sendEncoded);
}

template<typename Upload> void CUploadPipeline::send(Upload* upload)
{
    connect(
        upload, &Upload::uploadedOk, this,
        [notify = m_notifier.uploaded](const QString& link) { notify(link); });
    connect(upload, &Upload::uploadingFailed, this,
            [notify = m_notifier.uploadFailed](const QString& error) { notify(error); });
    CServerManager::instance()->sendRequest(upload);
}

} // namespace BL::App
