#pragma once

#include <QColor>
#include <QLabel>

// A label that fills its host window and darkens what lies behind it with one translucent colour.
class CFullScreenFadeLabel : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CFullScreenFadeLabel)

public:
    explicit CFullScreenFadeLabel(QWidget* parent, Qt::WindowFlags flags = {});

    // Takes effect at the next show; the colour's own alpha is not used.
    void setColor(const QColor& color);
    QColor color() const { return m_color; }

protected:
    void showEvent(QShowEvent* event) override;

    int m_alpha = 0;
    QColor m_color;

private:
    void applyBackground(int alpha);
};
