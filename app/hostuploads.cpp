#include "app/hostuploads.h"

#include "app/pictureencoder.h"

#include <QDateTime>
#include <QNetworkAccessManager>

namespace BL::App {

// One picture or one pair, from the encoder to the last reply.
struct CHostUploads::SBatch
{
    BL::Api::SCustomUploader host;
    QList<QPixmap> pictures;
    QList<BL::Api::SCustomUploadResult> results; // in picture order; an empty url until it arrived
    QString error;                               // the first failure
    int pending = 0;
};

CHostUploads::CHostUploads(ClipboardWriter clipboard, SHostUploadNotifier notifier, QObject* parent)
    : QObject(parent), m_clipboard(std::move(clipboard)), m_notifier(std::move(notifier)),
      m_network(new QNetworkAccessManager(this))
{
}

CHostUploads::~CHostUploads() = default;

void CHostUploads::uploadPictures(const BL::Api::SCustomUploader& host, const QList<QPixmap>& pictures)
{
    if (pictures.isEmpty())
        return;
    for (const QPixmap& picture : pictures)
        if (picture.isNull())
            return;
    auto batch = std::make_shared<SBatch>();
    batch->host = host;
    batch->pictures = pictures;
    m_notifier.started();
    auto* encoder = new CPictureEncoder(pictures, this);
    connect(encoder, &CPictureEncoder::finished, this, [this, encoder, batch] {
        encoder->deleteLater();
        send(batch, encoder->result());
    });
}

void CHostUploads::send(const std::shared_ptr<SBatch>& batch, const QList<QByteArray>& png)
{
    if (png.size() != batch->pictures.size() || png.contains(QByteArray())) {
        m_notifier.failed(tr("The screenshot could not be encoded as PNG."), batch->pictures);
        return;
    }
    const QString stem = QStringLiteral("brightloom-%1")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    batch->results = QList<BL::Api::SCustomUploadResult>();
    for (int i = 0; i < png.size(); ++i)
        batch->results.append(BL::Api::SCustomUploadResult());
    batch->pending = png.size();
    for (int i = 0; i < png.size(); ++i) {
        const QString name =
            png.size() == 1 ? stem + QStringLiteral(".png") : stem + QStringLiteral("-%1.png").arg(i + 1);
        auto* request = new BL::Api::CCustomUploadRequest(batch->host, png.at(i), name,
                                                          QStringLiteral("image/png"), this);
        request->setTransferTimeout(m_transferTimeoutMs);
        connect(request, &BL::Api::CCustomUploadRequest::succeeded, this,
                [this, request, batch, i](const BL::Api::SCustomUploadResult& result) {
                    request->deleteLater();
                    batch->results[i] = result;
                    finishOne(batch);
                });
        connect(request, &BL::Api::CCustomUploadRequest::failed, this,
                [this, request, batch](const QString& message) {
                    request->deleteLater();
                    if (batch->error.isEmpty())
                        batch->error = message;
                    finishOne(batch);
                });
        request->start(m_network);
    }
}

void CHostUploads::finishOne(const std::shared_ptr<SBatch>& batch)
{
    if (--batch->pending > 0)
        return;
    QStringList links;
    QList<QPixmap> unsent;
    for (int i = 0; i < batch->results.size(); ++i)
        if (batch->results.at(i).url.isEmpty())
            unsent << batch->pictures.at(i);
        else
            links << batch->results.at(i).url;
    if (unsent.isEmpty()) {
        m_clipboard(links.join(QLatin1Char('\n')));
        m_notifier.uploaded(links.first());
    }
    // What arrived is listed even when its partner did not, so that it can be deleted.
    for (int i = 0; i < batch->results.size(); ++i)
        if (!batch->results.at(i).url.isEmpty() && m_notifier.shared)
            m_notifier.shared(batch->host.name, batch->results.at(i), batch->pictures.size() > 1,
                              batch->pictures.at(i));
    if (!unsent.isEmpty())
        m_notifier.failed(batch->error, unsent);
}

} // namespace BL::App
