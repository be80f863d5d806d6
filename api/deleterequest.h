#pragma once

#include "api/httprequest.h"

// Deletes a share with the secret code it was uploaded with. The service answers a refusal
// (unknown code, used up, already deleted) in words, which `refused` passes on as they are.
class CDeleteRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CDeleteRequest)

public:
    explicit CDeleteRequest(const QString& secret);

    QString path() const override;
    QByteArray body() const override;

signals:
    void deleted();
    void refused(const QString& reason);
    // The service could not be reached or sent no usable answer.
    void errorOccured(const QString& errorDesc);

protected:
    void onNetworkError(int code, const QString& text) override;
    void onJson(const CSimpleJson& json) override;

private:
    const QString m_secret;
};

// Fetches the thumbnail the service made of the share with the public code `code`. Only a
// PNG file of a sane size counts; anything else ends in `failed`.
class CThumbnailRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CThumbnailRequest)

public:
    explicit CThumbnailRequest(const QString& code);

    EMethod method() const override { return EMethod::Get; }
    QString path() const override;
    QByteArray body() const override { return QByteArray(); }
    void handleReply(QNetworkReply* reply) override;

signals:
    void fetched(const QByteArray& png);
    void failed();

protected:
    void onNetworkError(int, const QString&) override { emit failed(); }
    void onJson(const CSimpleJson&) override { emit failed(); }

private:
    const QString m_code;
};
