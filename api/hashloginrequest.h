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

signals:
    void signInOk();
    void signInFailed(const QString& errorDesc);

protected:
    void onNetworkError(int code, const QString& text) override;
    void onJson(const CSimpleJson& json) override;

private:
    const QString m_hash;
};
