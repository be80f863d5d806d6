#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <array>

class QFrame;
class QLabel;
class QWidget;

namespace BL::Capture {

// The dim colour shared by the selectors and the help screen (its alpha is applied by them).
QColor dimColor();

class CDimBand;

// What a selector draws over the desktop: four bands that dim everything outside the selection,
// the selection's frame, the hint in the middle and the crosshair that stands in for the hidden
// system cursor. All are children of the selector, in its coordinates; the selector decides
// when each shows.
class CSelectionDecorations
{
    Q_DISABLE_COPY_MOVE(CSelectionDecorations)

public:
    explicit CSelectionDecorations(QWidget* selector);
    ~CSelectionDecorations();

    void setDimColor(const QColor& color);

    // Keeps the hint's rich text; it is laid out only while the hint shows (see applyHint).
    void setHintText(const QString& text);
    QString hintText() const { return m_hintText; }
    // Lays the hint out if its text changed, keeping it centred when it is up.
    void applyHint();
    void showHint();
    void hideHint();

    // Shows everything. Called while the selector itself is being shown: a child shown on a
    // parent that is up already makes Qt ask the X server where the pointer is, once for each.
    void showAll();
    // An empty selection in the middle, the crosshair at `cross`.
    void arrangeAround(const QPoint& cross);
    void hideAll();

    // The frame on `rect` and the bands around it, in the selector's coordinates.
    void setSelectionRect(const QRect& rect);
    void moveCrossTo(const QPoint& centre);

private:
    void centreHint();
    std::array<QWidget*, 7> widgets() const;

    QWidget* m_selector;
    CDimBand* m_topBand = nullptr;
    CDimBand* m_bottomBand = nullptr;
    CDimBand* m_leftBand = nullptr;
    CDimBand* m_rightBand = nullptr;
    QFrame* m_selectionFrame = nullptr;
    QLabel* m_hintLabel = nullptr;
    QString m_hintText;
    QWidget* m_cross = nullptr;
};

} // namespace BL::Capture
