#include "capture/markuptoolstrip.h"

#include <QMouseEvent>
#include <QPainter>
#include <iterator>

namespace BL::Capture {

namespace {

constexpr int kCell = 26;
constexpr int kGap = 4;
constexpr int kGroupGap = 12;
constexpr int kToolCount = int(std::size(kMarkupToolKeys));

} // namespace

CMarkupToolStrip::CMarkupToolStrip(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("markupToolStrip"));
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
    setToolTip(tr("R redact, B box, A arrow, T text, H highlighter; 1-5 colour; "
                  "Ctrl+Z undo, Ctrl+Shift+Z redo"));
    resize(sizeHint());
}

void CMarkupToolStrip::setCurrent(EMarkupTool tool, int colorIndex)
{
    if (tool == m_tool && colorIndex == m_colorIndex)
        return;
    m_tool = tool;
    m_colorIndex = colorIndex;
    update();
}

QString CMarkupToolStrip::hintText() const
{
    return tr("Enter share · Ctrl+S save · Ctrl+C copy · Esc cancel");
}

QRect CMarkupToolStrip::toolCell(int index) const
{
    return QRect(kGap + index * (kCell + kGap), kGap, kCell, kCell);
}

QRect CMarkupToolStrip::colorCell(int index) const
{
    const int start = toolCell(kToolCount - 1).right() + 1 + kGroupGap;
    return QRect(start + index * (kCell + kGap), kGap, kCell, kCell);
}

QRect CMarkupToolStrip::hintRect() const
{
    const int start = colorCell(int(markupPalette().size()) - 1).right() + 1 + kGroupGap;
    return QRect(start, kGap, fontMetrics().horizontalAdvance(hintText()) + kGap, kCell);
}

QSize CMarkupToolStrip::sizeHint() const
{
    return QSize(hintRect().right() + 1 + kGap, kCell + 2 * kGap);
}

void CMarkupToolStrip::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x20, 0x21, 0x24, 235));
    painter.drawRoundedRect(rect(), 5, 5);

    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    for (int i = 0; i < kToolCount; ++i) {
        const QRect cell = toolCell(i);
        const bool current = kMarkupToolKeys[i].tool == m_tool;
        if (current) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0x5a, 0x5d, 0x63));
            painter.drawRoundedRect(cell, 4, 4);
        }
        painter.setPen(current ? Qt::white : QColor(0xc8, 0xc8, 0xc8));
        // A letter key's code is its capital letter.
        painter.drawText(cell, Qt::AlignCenter, QString(QChar(kMarkupToolKeys[i].key)));
    }

    painter.setFont(font());
    const auto& palette = markupPalette();
    for (int i = 0; i < int(palette.size()); ++i) {
        const QRect cell = colorCell(i);
        painter.setPen(i == m_colorIndex ? QPen(Qt::white, 2) : QPen(QColor(0x80, 0x80, 0x80), 1));
        painter.setBrush(palette[size_t(i)]);
        painter.drawRoundedRect(QRectF(cell).adjusted(3, 3, -3, -3), 3, 3);
    }

    painter.setPen(QColor(0xc8, 0xc8, 0xc8));
    painter.drawText(hintRect(), Qt::AlignVCenter | Qt::AlignLeft, hintText());
}

void CMarkupToolStrip::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    for (int i = 0; i < kToolCount; ++i)
        if (toolCell(i).contains(event->pos()))
            emit toolChosen(kMarkupToolKeys[i].tool);
    for (int i = 0; i < int(markupPalette().size()); ++i)
        if (colorCell(i).contains(event->pos()))
            emit colorChosen(i);
}

} // namespace BL::Capture
