#include "platform/backendfactories.h"
#include "platform/logging.h"
#include "platform/pointerscreen.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtEndian>

// sway tells no client where the pointer is, but its seat's focus follows the pointer onto
// another output, and its IPC socket names the focused output.
namespace BL::Platform {

namespace {

constexpr char kMagic[] = "i3-ipc";
constexpr int kMagicSize = 6;
constexpr int kHeaderSize = kMagicSize + 8;
constexpr quint32 kGetOutputs = 3;
// Asked on the way to showing an overlay: a compositor that is slower than this is not waited for.
constexpr int kAnswerTimeoutMs = 300;

class CSwayPointerOutput final : public CAbstractPointerOutput
{
public:
    explicit CSwayPointerOutput(QString socketPath) : m_socketPath(std::move(socketPath)) {}

    QString outputName() override
    {
        const QByteArray answer = ask(kGetOutputs);
        for (const QJsonValue& output : QJsonDocument::fromJson(answer).array()) {
            const QJsonObject fields = output.toObject();
            if (fields.value(QStringLiteral("focused")).toBool())
                return fields.value(QStringLiteral("name")).toString();
        }
        qCDebug(lcPlatform) << "sway named no focused output";
        return {};
    }

private:
    // One request on a connection of its own: sway answers each in order, and a connection
    // kept open would need watching for the compositor going away.
    QByteArray ask(quint32 type) const
    {
        QLocalSocket socket;
        socket.connectToServer(m_socketPath);
        const QDeadlineTimer deadline(kAnswerTimeoutMs);
        if (!socket.waitForConnected(int(deadline.remainingTime()))) {
            qCDebug(lcPlatform) << "cannot reach sway at" << m_socketPath << socket.errorString();
            return {};
        }
        QByteArray request(kMagic, kMagicSize);
        request.append(kHeaderSize - kMagicSize, '\0');
        // The header's numbers are in the machine's own byte order.
        qToUnaligned<quint32>(0, request.data() + kMagicSize);
        qToUnaligned<quint32>(type, request.data() + kMagicSize + 4);
        socket.write(request);
        QByteArray reply;
        qint64 wanted = kHeaderSize;
        while (reply.size() < wanted) {
            if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime()))) {
                qCDebug(lcPlatform) << "sway did not answer in time";
                return {};
            }
            reply.append(socket.read(wanted - reply.size()));
            if (reply.size() == kHeaderSize && wanted == kHeaderSize) {
                if (!reply.startsWith(kMagic))
                    return {};
                wanted += qFromUnaligned<quint32>(reply.constData() + kMagicSize);
            }
        }
        return reply.mid(kHeaderSize);
    }

    QString m_socketPath;
};

} // namespace

std::unique_ptr<CAbstractPointerOutput> createSwayPointerOutput()
{
    const QString socketPath = qEnvironmentVariable("SWAYSOCK");
    if (socketPath.isEmpty())
        return nullptr;
    return std::make_unique<CSwayPointerOutput>(socketPath);
}

} // namespace BL::Platform
