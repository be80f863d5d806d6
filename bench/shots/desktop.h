#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>

// Smooth shading with grain, as a photo.
QImage photoLike(QSize size);

// Something like a working desktop: panels, text, a gradient and a photo in `photo`.
class CDesktopWindow : public QWidget
{
public:
    explicit CDesktopWindow(QRect photo);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRect m_photoRect;
    QImage m_photo;
};
