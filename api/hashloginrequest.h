#pragma once

#include "api/httprequest.h"

// Asks the service whether an account with the given credential hash exists.
class CHashLoginRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHashLoginRequest)

public:
    explicit CHashLoginRequest(const QString& hash);

    int kind() const override;
    QString path() const override;
    QByteArray body() const override;

    // The network error of the failed exchange while signInFailed is emitted; 0 when the
    // service did answer and only the answer was not a yes.
    int networkError() const { return m_networkError; }

signals:
    void signInOk();
    void signInFailed(const QString& errorDesc);

protected:
    void onNetworkError(int code, const QString& text) override;
    void onJson(const CSimpleJson& json) override;

private:
    const QString m_hash;
    int m_networkError = 0;
};
