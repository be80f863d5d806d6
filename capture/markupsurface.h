#pragma once

#include "capture/markupcomposition.h"
#include "capture/markuptools.h"

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QWidget>
#include <array>
#include <memory>

namespace BL::Capture {

class CMarkupToolStrip;

// Where the person marks a picture before it leaves: the frozen picture at its place on the
// screen, a tool strip beside it, and everything usable from the keyboard:
//   R redact, B box, A arrow, T text (typed in place, Enter ends it), H highlighter;
//   1-5 the colour; Ctrl+Z undo, Ctrl+Shift+Z redo;
//   Enter share, Ctrl+S save, Ctrl+C copy, Esc leave with nothing done.
// While a text is typed, every printable key is text: Enter ends the text and Escape drops it
// (neither leaves), a click elsewhere ends it and starts another.
// The owner shows it full-screen or over the selection, after setPicture(); the surface takes the
// focus when shown. It emits finished() once per picture and then takes no more input until the
// next setPicture(); hiding it is the owner's. Copy puts the picture on the clipboard itself, as
// image/png, before it emits.
// Nothing is shared between surfaces, so a comparison can mark each of its two pictures in turn
// (or on two surfaces).
class CMarkupSurface : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CMarkupSurface)

public:
    enum class EAction { Share, Save, Copy, Cancel };
    Q_ENUM(EAction)

    explicit CMarkupSurface(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~CMarkupSurface() override;

    // Starts afresh with `picture` (device pixels, with its device pixel ratio), shown with its
    // top left at `topLeft` in the surface's coordinates. Tool and colour stay as they were. A
    // null picture lets the pictures held go and takes no input.
    void setPicture(const QImage& picture, const QPoint& topLeft);
    // What lies outside the picture (alpha included).
    void setDimColor(const QColor& color);

    // The composed picture as it stands: device pixels, with the original's ratio.
    QImage picture() const { return m_composition.picture(); }
    // Where the picture is shown, in the surface's coordinates.
    QRectF pictureRect() const;
    EMarkupTool tool() const { return m_tool; }
    int colorIndex() const { return m_colorIndex; }
    void setTool(EMarkupTool tool);
    void setColorIndex(int index);

signals:
    // The picture is null for Cancel.
    void finished(BL::Capture::CMarkupSurface::EAction action, const QImage& picture);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    CAbstractMarkupTool& currentTool() const;
    // Returns whether the key was a tool, colour or history key.
    bool editKey(const QKeyEvent& event);
    void finish(EAction action);
    // Ends the current tool's mark in progress; answers the picture pixels that changed.
    QRegion endMarkInProgress();
    // Commits what the tool finished and repaints what changed.
    void afterToolStep(const QRegion& changed);
    void repaintPicturePixels(const QRegion& pixels);
    QPoint toPicture(const QPointF& pos) const;
    SMarkupStyle style() const;
    void placeStrip();
    void updateCursor();

    CMarkupComposition m_composition;
    std::array<std::unique_ptr<CAbstractMarkupTool>, 5> m_tools;
    EMarkupTool m_tool = EMarkupTool::Redact;
    int m_colorIndex = 0;
    QPointF m_topLeft;
    QColor m_dimColor;
    CMarkupToolStrip* m_strip = nullptr;
    bool m_dragging = false;
    bool m_done = true; // no picture yet, or finished() was emitted for it
};

} // namespace BL::Capture
