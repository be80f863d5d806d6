#include "capture/selectiondecorations.h"

#include "capture/frozenscreen.h"

#include <QCoreApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <initializer_list>

namespace BL::Capture {

namespace {

constexpr int kBandAlpha = 110;
constexpr int kCrossSize = 27;

// Crosshair that replaces the hidden system cursor over the selector.
class CCross : public QWidget
{
public:
    explicit CCross(QWidget* parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_MouseTracking);
        setAttribute(Qt::WA_TranslucentBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawImage(QPoint(0, 0), m_image);
    }

    void showEvent(QShowEvent*) override
    {
        // The screen may have changed since the last showing: the image is decoded again when
        // its ratio did, not at every opening. The host is on the screen under the pointer by
        // now; its ratio needs no look at the pointer.
        const int ratio = std::max(1, static_cast<int>(devicePixelRatioF()));
        if (m_image.isNull() || ratio != m_ratio) {
            const QImage source(ratio > 1 ? QStringLiteral(":Grabber@2x.png")
                                          : QStringLiteral(":Grabber.png"));
            m_image = source.scaled(kCrossSize * ratio, kCrossSize * ratio, Qt::IgnoreAspectRatio,
                                    Qt::FastTransformation);
            // Without the ratio a 54-pixel image would be drawn at 54 logical pixels and clipped.
            m_image.setDevicePixelRatio(ratio);
            m_ratio = ratio;
        }
        setFixedSize(kCrossSize, kCrossSize);
    }

private:
    QImage m_image;
    int m_ratio = 0;
};

// The hint. QLabel lays its rich text out again in every paint, for the width it paints at, and
// the layout asks for one more paint of the label from within the first. That paint draws the
// same picture, and everything under the translucent label with it: it came after the overlay's
// first frame, waiting for the server to take in that frame. A paint of the whole label has
// already drawn what it asked for.
class CHintLabel : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QLabel::paintEvent(event);
        if (event->rect().contains(rect()))
            QCoreApplication::removePostedEvents(this, QEvent::UpdateLater);
    }
};

} // namespace

// One of the dimmed bands around the selection. Under it the translucent window's buffer has
// just been cleared, so its colour is written as it stands rather than blended: the same
// pixels, but a plain fill of a screen's worth of bands costs a fraction of a blended one,
// and the bands are painted whenever the overlay opens and as the selection moves.
class CDimBand : public QWidget
{
public:
    CDimBand(QWidget* parent, const char* name) : QWidget(parent)
    {
        setObjectName(QLatin1String(name));
        setAttribute(Qt::WA_MouseTracking);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    void setColor(const QColor& color)
    {
        m_color = color;
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QPainter painter(this);
        const QRect global(mapToGlobal(event->rect().topLeft()), event->rect().size());
        // Drawn straight to the screen, the dim colour must be blended here.
        if (!BL::Capture::paintFrozenRoot(painter, event->rect(), global))
            painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(event->rect(), m_color);
    }

private:
    QColor m_color;
};

QColor dimColor()
{
    return QColor(24, 24, 24);
}

CSelectionDecorations::CSelectionDecorations(QWidget* selector) : m_selector(selector)
{
    m_topBand = new CDimBand(selector, "topBand");
    m_bottomBand = new CDimBand(selector, "bottomBand");
    m_leftBand = new CDimBand(selector, "leftBand");
    m_rightBand = new CDimBand(selector, "rightBand");

    m_selectionFrame = new QFrame(selector);
    m_selectionFrame->setObjectName(QStringLiteral("selectionFrame"));
    m_selectionFrame->setFrameShape(QFrame::Box);
    m_selectionFrame->setStyleSheet(
        QStringLiteral("border-style: dashed; border-color: white; border-width: 1px"));

    m_hintLabel = new CHintLabel(selector);
    m_hintLabel->setObjectName(QStringLiteral("hintLabel"));
    m_hintLabel->setStyleSheet(QStringLiteral("background-color: rgba(255, 255, 255, 178)"));
    m_hintLabel->setMargin(10);
    m_hintLabel->setAlignment(Qt::AlignCenter);
    m_hintLabel->setTextFormat(Qt::RichText);

    m_cross = new CCross(selector);
    m_cross->setObjectName(QStringLiteral("cross"));
    hideAll();
}

// The widgets are the selector's children and go with it.
CSelectionDecorations::~CSelectionDecorations() = default;

void CSelectionDecorations::setDimColor(const QColor& color)
{
    QColor translucent = color;
    translucent.setAlpha(kBandAlpha);
    for (CDimBand* band : {m_topBand, m_bottomBand, m_leftBand, m_rightBand})
        band->setColor(translucent);
}

void CSelectionDecorations::setHintText(const QString& text)
{
    m_hintText = text;
    // Laid out when shown: rich text pulls in the whole font stack (some 4 MiB), which a program
    // that only waits in the tray does not need, and laying it out as the overlay opens would
    // hold up its first frame.
    if (m_hintLabel->isVisible())
        applyHint();
}

void CSelectionDecorations::applyHint()
{
    if (m_hintLabel->text() == m_hintText)
        return;
    m_hintLabel->setText(m_hintText);
    m_hintLabel->adjustSize();
    if (m_hintLabel->isVisible())
        centreHint();
}

void CSelectionDecorations::showHint()
{
    applyHint();
    centreHint();
    m_hintLabel->show();
}

void CSelectionDecorations::hideHint()
{
    m_hintLabel->hide();
}

void CSelectionDecorations::showAll()
{
    applyHint();
    for (QWidget* child : widgets())
        child->show();
}

void CSelectionDecorations::arrangeAround(const QPoint& cross)
{
    moveCrossTo(cross);
    const QRect empty(m_selector->width() / 2, m_selector->height() / 2, 0, 0);
    setSelectionRect(empty);
    centreHint();
}

std::array<QWidget*, 7> CSelectionDecorations::widgets() const
{
    return {m_hintLabel, m_cross, m_selectionFrame, m_topBand, m_bottomBand, m_leftBand, m_rightBand};
}

void CSelectionDecorations::hideAll()
{
    for (QWidget* child : widgets())
        child->hide();
}

void CSelectionDecorations::setSelectionRect(const QRect& r)
{
    const QRect f = m_selector->rect(); // the bands are children: selector coordinates
    m_selectionFrame->setGeometry(r);
    m_topBand->setGeometry(QRect(f.topLeft(), QPoint(f.right(), r.top() - 1)).normalized());
    m_bottomBand->setGeometry(QRect(f.bottomLeft(), QPoint(f.right(), r.bottom() + 1)).normalized());
    m_leftBand->setGeometry(QRect(QPoint(f.left(), r.top()), QPoint(r.left(), r.bottom())).normalized());
    m_rightBand->setGeometry(QRect(QPoint(f.right(), r.top()), QPoint(r.right(), r.bottom())).normalized());
}

void CSelectionDecorations::moveCrossTo(const QPoint& centre)
{
    m_cross->move(centre.x() - m_cross->width() / 2, centre.y() - m_cross->height() / 2);
}

void CSelectionDecorations::centreHint()
{
    m_hintLabel->move(m_selector->width() / 2 - m_hintLabel->width() / 2,
                      m_selector->height() / 2 - m_hintLabel->height() / 2);
}

} // namespace BL::Capture
