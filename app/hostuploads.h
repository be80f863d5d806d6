#pragma once

#include "api/customuploader.h"
#include "api/customuploadrequest.h"

#include <QList>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace BL::App {

// What an upload to an imported host tells the rest of the program.
struct SHostUploadNotifier
{
    std::function<void()> started;
    std::function<void(const QString& link)> uploaded; // the link is on the clipboard
    // The failure text (the host's own message where its file says where it is) and the
    // pictures that did not arrive: the receiver keeps them.
    std::function<void(const QString& errorDesc, const QList<QPixmap>& unsent)> failed;
    // Each picture that arrived at the host named `host`, with what it said of it; `comparison`
    // for a pair's half.
    std::function<void(const QString& host, const BL::Api::SCustomUploadResult& result, bool comparison,
                       const QPixmap& picture)>
        shared;
};

// Uploads to a host an imported custom-uploader file describes. Such hosts reserve nothing:
// the picture is encoded and sent, and the link goes on the clipboard when the reply names it.
// A comparison goes as two uploads, and its two links go on the clipboard together.
class CHostUploads : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHostUploads)

public:
    using ClipboardWriter = std::function<void(const QString& text)>;
    CHostUploads(ClipboardWriter clipboard, SHostUploadNotifier notifier, QObject* parent);
    ~CHostUploads() override;

    // Null pictures are dropped without a word.
    void uploadPictures(const BL::Api::SCustomUploader& host, const QList<QPixmap>& pictures);
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

private:
    struct SBatch;
    void send(const std::shared_ptr<SBatch>& batch, const QList<QByteArray>& png);
    void finishOne(const std::shared_ptr<SBatch>& batch);

    ClipboardWriter m_clipboard;
    SHostUploadNotifier m_notifier;
    QNetworkAccessManager* m_network = nullptr;
    int m_transferTimeoutMs = 30000;
};

} // namespace BL::App
