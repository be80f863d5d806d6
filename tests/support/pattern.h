#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>

// A desktop background whose every pixel has a colour known from its position, and the check of
// a picture cut from it.
namespace BL::Test {

QColor patternAt(int x, int y);

// Compares every 7th pixel of `image` with the pattern from `origin` on; returns the first
// mismatch, or empty.
QString patternMismatch(const QImage& image, const QPoint& origin);

// A window painted with the pattern of the places it covers, as a desktop to shoot.
class CPatternWindow : public QWidget
{
public:
    CPatternWindow();

protected:
    void paintEvent(QPaintEvent*) override;
};

} // namespace BL::Test
