#include "desktop.h"

#include <QPainter>
#include <cmath>

QImage photoLike(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    quint32 seed = 7;
    for (int y = 0; y < size.height(); ++y) {
        auto* px = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = int((seed >> 24) % 17) - 8;
            const double v = std::sin(x * 0.013) * std::cos(y * 0.021) * 60 + std::sin((x + y) * 0.005) * 40;
            auto c = [&](double base) { return qBound(0, int(base + v) + grain, 255); };
            px[x] = qRgb(c(120), c(100 + y * 0.05), c(90 + x * 0.03));
        }
    }
    return image;
}

CDesktopWindow::CDesktopWindow(QRect photo)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint), m_photoRect(photo),
      m_photo(photoLike(photo.size()))
{
    // The window manager keeps a desktop below the tray host's panel, whose icon must stay clickable.
    setAttribute(Qt::WA_X11NetWmWindowTypeDesktop);
}

void CDesktopWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QLinearGradient sky(0, 0, width(), height());
    sky.setColorAt(0, QColor(40, 90, 160));
    sky.setColorAt(1, QColor(220, 140, 60));
    p.fillRect(rect(), sky);
    quint32 seed = 12345;
    auto rnd = [&seed](int n) {
        seed = seed * 1664525u + 1013904223u;
        return int((seed >> 8) % quint32(n));
    };
    for (int w = 0; w < 6; ++w) {
        const QRect win(rnd(width() - 600), 40 + rnd(height() - 500), 500 + rnd(300), 300 + rnd(200));
        p.fillRect(win, QColor(245, 245, 242));
        p.fillRect(QRect(win.topLeft(), QSize(win.width(), 28)), QColor(60, 70, 90));
        p.setPen(Qt::black);
        for (int line = 0; line < (win.height() - 40) / 16; ++line) {
            QString text;
            for (int word = 0; word < 8 + rnd(6); ++word)
                text += QString(3 + rnd(7), QChar('a' + rnd(26))) + ' ';
            p.drawText(win.left() + 10, win.top() + 46 + line * 16, text);
        }
    }
    p.drawImage(m_photoRect.topLeft(), m_photo);
}
