#pragma once

#include <QRect>
#include <QRgb>

namespace BL::Test {

// A window drawn by the X server alone (a background pixel, no client painting), as old
// toolkits and the server's own root window are: it leaves the unused fourth byte of each
// pixel as the server likes. Placed where asked, above the others; gone with the object.
class CCoreWindow
{
public:
    CCoreWindow(const QRect& geometry, QRgb color);
    ~CCoreWindow();
    CCoreWindow(const CCoreWindow&) = delete;
    CCoreWindow& operator=(const CCoreWindow&) = delete;

private:
    unsigned long m_window = 0;
};

} // namespace BL::Test
