#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

namespace BL::Platform {

// The desktop portal as every Wayland desktop offers it on the session bus.
extern const char kPortalService[];
extern const char kPortalPath[];

// Every wait on the bus is bounded: a portal that is missing, starting or stuck must never
// hold the program up.
constexpr int kPortalCallTimeoutMs = 5000;

// Why a call to the portal failed, in words for the person who reads the balloon.
QString portalCallFailure(const QString& interface, const QString& errorName, const QString& errorMessage);

// One portal method that answers twice: the call returns the path of a Request object at once,
// and that object's Response signal brings the outcome later. Ends in exactly one answered() or
// failed(), the latter also when either answer does not come in time.
class CPortalRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CPortalRequest)

public:
    explicit CPortalRequest(QObject* parent);
    ~CPortalRequest() override;

    // `args` come first, then `options` (a handle token is added to them).
    void start(const QString& interface, const QString& method, const QVariantList& args, QVariantMap options,
               int responseTimeoutMs);

signals:
    void answered(uint response, const QVariantMap& results);
    void failed(const QString& reason);

private slots:
    // Named in a D-Bus match rule, which only takes a slot signature.
    void onResponse(uint response, const QVariantMap& results);

private:
    void listenOn(const QString& path);
    void fail(const QString& reason);

    QString m_interface;
    QString m_path;
    QTimer m_deadline;
    bool m_done = false;
};

} // namespace BL::Platform
