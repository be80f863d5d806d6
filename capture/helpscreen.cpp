#include "capture/helpscreen.h"

#include "capture/logging.h"

#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QResource>
#include <QTextOption>

namespace {
constexpr int kFadeAlpha = 110;
}

namespace BL::Capture {

SHelpScreenLayout helpScreenLayout(const QSize& widgetSize, const QSize& imageSize)
{
    const int w = widgetSize.width();
    const int h = widgetSize.height();
    SHelpScreenLayout layout;
    layout.imageTopLeft = QPoint(w / 2 - imageSize.width() / 2 - 350, h / 2 - imageSize.height() / 4 - 55);
    layout.textRect = QRect(QPoint(w / 2 - 200, h / 2 - 60), QPoint(w / 2 + 500, h / 2 + 150));
    return layout;
}

const QFont& helpFont()
{
    static const QFont font(QStringLiteral("Century Gothic"), 21, 2, false);
    return font;
}

bool registerOverlayFont()
{
    const QString family = QStringLiteral("Century Gothic");
    // Read in place when the resource is stored as is, not copied to the heap for the program's
    // whole run (170 KiB).
    const QResource resource(QStringLiteral(":Century Gothic.ttf"));
    const int id = resource.isValid() && resource.compressionAlgorithm() == QResource::NoCompression
                       ? QFontDatabase::addApplicationFontFromData(QByteArray::fromRawData(
                             reinterpret_cast<const char*>(resource.data()), int(resource.size())))
                       : QFontDatabase::addApplicationFont(resource.fileName());
    if (id < 0) {
        qCWarning(lcCapture) << "The overlay font could not be added";
        return false;
    }
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    if (!families.isEmpty() && families.first() != family)
        QFont::insertSubstitution(family, families.first());
    return true;
}

} // namespace BL::Capture

CHelpScreen::CHelpScreen(QWidget* parent, const QString& imagePath, const QString& text)
    : CFullScreenFadeLabel(parent), m_helpText(text), m_helpImagePath(imagePath)
{
}

void CHelpScreen::setHelpText(const QString& text)
{
    m_helpText = text;
    update();
}

void CHelpScreen::setHelpImage(const QString& imagePath)
{
    m_helpImagePath = imagePath;
    update();
}

void CHelpScreen::mousePressEvent(QMouseEvent*)
{
    close();
}

void CHelpScreen::keyPressEvent(QKeyEvent*)
{
    close();
}

void CHelpScreen::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);

    QPainter painter(this);
    painter.setRenderHints(QPainter::TextAntialiasing | QPainter::Antialiasing);
    QColor shade = m_color;
    shade.setAlpha(kFadeAlpha);
    // The label covers the screen it is shown on; darken all of it a second time.
    painter.fillRect(rect(), shade);

    const QImage image(m_helpImagePath);
    const BL::Capture::SHelpScreenLayout layout = BL::Capture::helpScreenLayout(size(), image.size());
    if (!image.isNull())
        painter.drawImage(layout.imageTopLeft, image);

    painter.setFont(BL::Capture::helpFont());
    painter.setPen(Qt::white);
    painter.drawText(layout.textRect, m_helpText, QTextOption());
}
