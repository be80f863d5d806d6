#include "capture/fullscreenfadelabel.h"

namespace {
constexpr int kFadeAlpha = 110;
}

CFullScreenFadeLabel::CFullScreenFadeLabel(QWidget* parent, Qt::WindowFlags flags) : QLabel(parent, flags)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAlignment(Qt::AlignCenter);
}

void CFullScreenFadeLabel::setColor(const QColor& color)
{
    m_color = color;
}

void CFullScreenFadeLabel::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    setFocus(Qt::OtherFocusReason);
    applyBackground(kFadeAlpha);
}

void CFullScreenFadeLabel::applyBackground(int alpha)
{
    m_alpha = alpha;
    setStyleSheet(QStringLiteral("background-color: rgba(%1, %2, %3, %4);")
                      .arg(m_color.red())
                      .arg(m_color.green())
                      .arg(m_color.blue())
                      .arg(m_alpha));
}
