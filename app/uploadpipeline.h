#pragma once

#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class CPictureEncoder;
class QUrl;
class QVariant;

namespace BL::App {

// What an upload tells the rest of the program, step by step.
struct SUploadNotifier
{
    std::function<void()> started;                                         // a reservation went out
    std::function<void(const QString& code, const QString& url)> reserved; // the link is on the clipboard
    std::function<void(const QString& link)> uploaded;
    // The failure text, and the pictures that did not reach the service (none for a URL): the
    // receiver keeps them, since nothing else holds them once this returns.
    std::function<void(const QString& errorDesc, const QList<QPixmap>& unsent)> uploadFailed;
    std::function<void(const QString& errorDesc, const QList<QPixmap>& unsent)> reservationFailed; // no link
    // Optional, right after `uploaded`: what the record of shares keeps of it. `secret` is the
    // code the upload went under, which also deletes it; `pictures` are none for a URL.
    std::function<void(const QString& secret, const QString& link, int kind, const QList<QPixmap>& pictures)>
        shared;
};

using ClipboardWriter = std::function<void(const QString& text)>;

// One road for every upload: reserve a code, put its link on the clipboard at once, then send
// the picture (encoded as PNG on a worker while the reservation is under way), the pair or the
// URL under that code. The reservation carries the upload that follows it in its dynamic
// properties "type", "value" and "value2".
class CUploadPipeline : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUploadPipeline)

public:
    CUploadPipeline(ClipboardWriter clipboard, SUploadNotifier notifier, QObject* parent);
    ~CUploadPipeline() override;

    // A picture is about to come from the screen: its reservation goes out now, so that the
    // round trip overlaps the grab. The next uploadPicture() takes it; the link goes to the
    // clipboard only once that picture exists, and a null picture drops the reservation.
    void reserveAhead();
    // A null picture is dropped with a debug line; nothing else happens.
    void uploadPicture(const QPixmap& picture);
    // A pair with a null picture is dropped without a word.
    void uploadPair(const QPixmap& first, const QPixmap& second);
    void uploadUrl(const QUrl& url);

    // A service that takes the connection and then says nothing must not keep the tray busy:
    // every request fails once nothing has moved for this long.
    static constexpr int defaultTransferTimeoutMs = 30000;
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }
    // Each reservation from now on asks the service to keep its upload this long (0: for good).
    void setExpiry(int seconds) { m_expirySeconds = seconds; }

private slots:
    void onUrlCodeReserved(const QString& code, const QString& url);

private:
    // A reservation sent ahead of its picture, and what has come back for it so far.
    struct SAhead
    {
        QPointer<QObject> request;
        bool answered = false;
        bool failed = false;
        QString code, url, error;
        QPixmap picture; // null until the grab has delivered
        CPictureEncoder* encoder = nullptr;
    };
    void dropAhead();
    void continueAhead();
    void reserve(int kind, const QVariant& value, const QVariant& value2);
    void sendWhenEncoded(CPictureEncoder* encoder, int kind, const QString& code,
                         const QList<QPixmap>& pictures);
    template<typename Upload>
    void send(Upload* upload, int kind, const QString& code, const QList<QPixmap>& pictures);

    ClipboardWriter m_clipboard;
    SUploadNotifier m_notifier;
    std::unique_ptr<SAhead> m_ahead;
    int m_transferTimeoutMs = defaultTransferTimeoutMs;
    int m_expirySeconds = -1; // none asked: the service decides
};

} // namespace BL::App
