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

signals:
    void codeReserved(const QString& code, const QString& uploadingUrl);
    void errorOccured(const QString& errorDesc);

protected:
    void onNetworkError(int code, const QString& text) override;
    void onJson(const CSimpleJson& json) override;
};
