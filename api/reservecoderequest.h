#pragma once

#include "api/httprequest.h"

// Reserves a code and the link under which the upload that follows will be found.
// The caller may tag it with dynamic properties ("type", "value", "value2") that
// describe that upload; the request itself never reads them.
class CReserveCodeRequest : public CHttpRequest
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CReserveCodeRequest)

public:
    CReserveCodeRequest();

    int kind() const override;
    QString path() const override;
    QByteArray body() const override;

    // Asks the service to keep the upload that follows for `seconds` (0: for good, or as long
    // as the service keeps anything). Without it the body stays empty and the service decides.
    void setExpiry(int seconds) { m_expirySeconds = seconds; }

signals:
    void codeReserved(const QString& code, const QString& uploadingUrl);
    void errorOccured(const QString& errorDesc);

protected:
    void onNetworkError(int code, const QString& text) override;
    void onJson(const CSimpleJson& json) override;

private:
    int m_expirySeconds = -1;
};
