#pragma once

#include "capture/markuptools.h"

#include <QWidget>

namespace BL::Capture {

// The small strip beside the picture being marked: the five tools with their keys, the five
// colours with theirs, and how to leave. A click on a tool or a colour chooses it; the keys are
// the surface's, the strip never takes the keyboard.
class CMarkupToolStrip : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CMarkupToolStrip)

public:
    explicit CMarkupToolStrip(QWidget* parent);

    void setCurrent(EMarkupTool tool, int colorIndex);
    QSize sizeHint() const override;

signals:
    void toolChosen(BL::Capture::EMarkupTool tool);
    void colorChosen(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QRect toolCell(int index) const;
    QRect colorCell(int index) const;
    QRect hintRect() const;
    QString hintText() const;

    EMarkupTool m_tool = EMarkupTool::Redact;
    int m_colorIndex = 0;
};

} // namespace BL::Capture
