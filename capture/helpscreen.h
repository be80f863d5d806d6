#pragma once

#include "capture/fullscreenfadelabel.h"

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace BL::Capture {

// Where the help screen draws its picture and its text box on a widget of the given size.
struct SHelpScreenLayout
{
    QPoint imageTopLeft;
    QRect textRect;
};
SHelpScreenLayout helpScreenLayout(const QSize& widgetSize, const QSize& imageSize);

// The application-wide font of the help text: "Century Gothic", 21 points, weight 2.
const QFont& helpFont();

// Adds ":Century Gothic.ttf" to the application fonts and maps the "Century Gothic" family onto
// the family the file really holds. Returns false when the font could not be added.
bool registerOverlayFont();

} // namespace BL::Capture

// One-off message over the darkened screen: a picture on the left, white text on the right.
// Any key or mouse button closes it; the overlay host closes itself once it is left empty.
class CHelpScreen : public CFullScreenFadeLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHelpScreen)

public:
    CHelpScreen(QWidget* parent, const QString& imagePath, const QString& text);

    // Both take effect at the next paint.
    void setHelpText(const QString& text);
    void setHelpImage(const QString& imagePath);
    QString helpText() const { return m_helpText; }
    QString helpImagePath() const { return m_helpImagePath; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_helpText;
    QString m_helpImagePath;
};
