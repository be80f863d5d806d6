#pragma once

#include "capture/overlayhost.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QStringList>
#include <QTest>
#include <QWidget>

namespace BL::Test {

// Every pixel of the screen gets its own colour, and none of them is a dimmed one, so a grab
// proves both where it was taken and that no overlay was over it.
inline QImage makePattern(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = qRgb(x & 0xff, y & 0xff, 0xa0 + ((x >> 8) & 7) * 8 + ((y >> 8) & 3) * 2);
    }
    return image;
}

// A borderless window showing the pattern over the whole screen, under the overlay.
class CPatternWindow : public QWidget
{
public:
    CPatternWindow() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint)
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        m_pattern = makePattern(screen.size());
        setGeometry(screen);
    }
    const QImage& pattern() const { return m_pattern; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawImage(0, 0, m_pattern);
    }

private:
    QImage m_pattern;
};

// A selector is up once its crosshair shows and the pass its showing queued has run: arranged
// again if the show moved it, its grab buffers and window list on their way.
inline bool waitForSelectorUp(QWidget* selector)
{
    QWidget* cross = selector->findChild<QWidget*>(QStringLiteral("cross"));
    if (!cross || !QTest::qWaitFor([cross] { return cross->isVisible(); }))
        return false;
    QCoreApplication::sendPostedEvents(selector, QEvent::MetaCall);
    return true;
}

// Real pointer and keyboard input through the X server.
inline int xdotool(const QStringList& args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args);
}

// Index of the first pixel that differs, or -1 when the images are equal.
inline int firstDifference(const QImage& actual, const QImage& expected)
{
    const QImage a = actual.convertToFormat(QImage::Format_RGB32);
    const QImage e = expected.convertToFormat(QImage::Format_RGB32);
    if (a.size() != e.size())
        return 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != e.pixel(x, y))
                return y * a.width() + x;
    }
    return -1;
}

} // namespace BL::Test
