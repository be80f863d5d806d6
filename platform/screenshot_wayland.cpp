#include "platform/backendfactories.h"
#include "platform/logging.h"
#include "platform/portal_wayland.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QUrl>

// Wayland lets no program read the screen: the Screenshot portal hands over a picture of
// the whole desktop, taken by the compositor, as a file.
namespace BL::Platform {

namespace {

const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
// A desktop may ask the person once whether we may take pictures; give them time to answer.
constexpr int kScreenshotResponseTimeoutMs = 30000;

class CPortalScreenshotSource final : public CAbstractScreenshotSource
{
public:
    void request() override
    {
        if (m_pending)
            return;
        m_pending = new CPortalRequest(this);
        connect(m_pending, &CPortalRequest::answered, this,
                [this](uint response, const QVariantMap& results) {
                    finish();
                    onAnswer(response, results);
                });
        connect(m_pending, &CPortalRequest::failed, this, [this](const QString& reason) {
            finish();
            emit failed(reason);
        });
        m_pending->start(kScreenshotInterface, QStringLiteral("Screenshot"), {QString()},
                         {{QStringLiteral("interactive"), false}, {QStringLiteral("modal"), false}},
                         kScreenshotResponseTimeoutMs);
    }

private:
    void finish()
    {
        m_pending->deleteLater();
        m_pending = nullptr;
    }

    void onAnswer(uint response, const QVariantMap& results)
    {
        const auto text = [](const char* source) {
            return QCoreApplication::translate("BL::Platform", source);
        };
        if (response != 0) {
            emit failed(response == 1 ? text("the desktop refused to take a picture of the screen")
                                      : text("the desktop could not take a picture of the screen"));
            return;
        }
        const QUrl uri(results.value(QStringLiteral("uri")).toString());
        if (!uri.isLocalFile()) {
            emit failed(text("the desktop portal gave no picture file (%1)").arg(uri.toString()));
            return;
        }
        const QString file = uri.toLocalFile();
        QImage picture(file);
        // The file was made for this one shot; left alone, every shot would pile up another.
        if (!QFile::remove(file))
            qCDebug(lcPlatform) << "could not remove the portal's picture" << file;
        if (picture.isNull()) {
            emit failed(text("the picture of the screen could not be read (%1)").arg(file));
            return;
        }
        qCDebug(lcPlatform) << "screen picture from the portal:" << picture.size();
        emit taken(picture);
    }

    QPointer<CPortalRequest> m_pending;
};

} // namespace

std::unique_ptr<CAbstractScreenshotSource> createPortalScreenshotSource()
{
    return std::make_unique<CPortalScreenshotSource>();
}

} // namespace BL::Platform
