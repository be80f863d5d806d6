#pragma once

#include "capture/markupitems.h"

#include <QPoint>
#include <QRegion>
#include <memory>

class QKeyEvent;
class QPainter;

namespace BL::Capture {

using MarkupItemPtr = std::shared_ptr<const CAbstractMarkupItem>;

enum class EMarkupTool { Redact, Box, Arrow, Text, Highlighter };

// The tools in the order the strip shows them, each with the key that chooses it (its letter).
struct SMarkupToolKey
{
    EMarkupTool tool;
    Qt::Key key;
};
inline constexpr SMarkupToolKey kMarkupToolKeys[]{{EMarkupTool::Redact, Qt::Key_R},
                                                  {EMarkupTool::Box, Qt::Key_B},
                                                  {EMarkupTool::Arrow, Qt::Key_A},
                                                  {EMarkupTool::Text, Qt::Key_T},
                                                  {EMarkupTool::Highlighter, Qt::Key_H}};

// One way of making marks. The surface hands a tool the pointer and, while it has a text in
// progress, the keys; positions are picture pixels. Each call answers the picture pixels whose
// look it changed, so that only those are repainted. A finished mark is handed out once by
// takeFinished().
class CAbstractMarkupTool
{
public:
    CAbstractMarkupTool() = default;
    virtual ~CAbstractMarkupTool() = default;
    CAbstractMarkupTool(const CAbstractMarkupTool&) = delete;
    CAbstractMarkupTool& operator=(const CAbstractMarkupTool&) = delete;

    virtual QRegion press(const QPoint& pos, const SMarkupStyle& style) = 0;
    virtual QRegion move(const QPoint& pos) = 0;
    virtual QRegion release(const QPoint& pos) = 0;
    // Ends the mark in progress as it stands (a text being typed); nothing when there is none.
    virtual QRegion finish() { return {}; }
    // Drops the mark in progress.
    virtual QRegion cancel() = 0;
    // Whether a mark is in progress.
    virtual bool isActive() const = 0;
    // Whether the tool takes the keys now (letters are text, not tool keys); keyPress is asked
    // only then, and answers whether it used the key.
    virtual bool wantsKeys() const { return false; }
    virtual bool keyPress(const QKeyEvent& event, QRegion& changed);

    // The mark in progress as it would be painted; null when there is none.
    virtual MarkupItemPtr preview() const = 0;
    // What the tool shows beside its mark and that is never part of the picture (the caret).
    virtual void paintDecorations(QPainter& painter) const;

    MarkupItemPtr takeFinished() { return std::move(m_finished); }

protected:
    void setFinished(MarkupItemPtr item) { m_finished = std::move(item); }

private:
    MarkupItemPtr m_finished;
};

// A mark spanned by the press and the release; every move replaces the mark in progress.
class CAbstractDragTool : public CAbstractMarkupTool
{
public:
    QRegion press(const QPoint& pos, const SMarkupStyle& style) override;
    QRegion move(const QPoint& pos) override;
    QRegion release(const QPoint& pos) override;
    QRegion cancel() override;
    bool isActive() const override { return m_active; }
    MarkupItemPtr preview() const override { return m_current; }

protected:
    // The mark from `from` to `to`, both picture pixels included; null for none (too short).
    virtual MarkupItemPtr makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const = 0;
    // The pixels that differ between two marks in progress; either may be null.
    virtual QRegion changedBetween(const MarkupItemPtr& before, const MarkupItemPtr& after) const;

private:
    bool m_active = false;
    QPoint m_start;
    SMarkupStyle m_style;
    MarkupItemPtr m_current;
};

class CRedactTool final : public CAbstractDragTool
{
protected:
    MarkupItemPtr makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const override;
    // Two boxes of one flat colour differ only where one covers and the other does not.
    QRegion changedBetween(const MarkupItemPtr& before, const MarkupItemPtr& after) const override;
};

class CBoxTool final : public CAbstractDragTool
{
protected:
    MarkupItemPtr makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const override;
};

class CArrowTool final : public CAbstractDragTool
{
protected:
    MarkupItemPtr makeMark(const QPoint& from, const QPoint& to, const SMarkupStyle& style) const override;
};

// A free stroke through every position the pointer passes.
class CHighlighterTool final : public CAbstractMarkupTool
{
public:
    QRegion press(const QPoint& pos, const SMarkupStyle& style) override;
    QRegion move(const QPoint& pos) override;
    QRegion release(const QPoint& pos) override;
    QRegion cancel() override;
    bool isActive() const override { return !m_points.isEmpty(); }
    MarkupItemPtr preview() const override { return m_current; }

private:
    QVector<QPointF> m_points;
    SMarkupStyle m_style;
    MarkupItemPtr m_current;
};

// Text typed in place: a click (or start()) puts the caret, Enter ends the text, Escape drops it,
// Backspace takes back the last character. A click elsewhere ends the text and starts another.
class CTextTool final : public CAbstractMarkupTool
{
public:
    // Puts the caret at `pos` without a click, ending any text in progress first.
    QRegion start(const QPoint& pos, const SMarkupStyle& style);

    QRegion press(const QPoint& pos, const SMarkupStyle& style) override;
    QRegion move(const QPoint&) override { return {}; }
    QRegion release(const QPoint&) override { return {}; }
    QRegion finish() override;
    QRegion cancel() override;
    bool isActive() const override { return m_editing; }
    bool wantsKeys() const override { return m_editing; }
    bool keyPress(const QKeyEvent& event, QRegion& changed) override;
    MarkupItemPtr preview() const override;
    void paintDecorations(QPainter& painter) const override;

private:
    // The text as it stands, caret included, even while it is still empty.
    CTextMark current() const;
    QRegion setText(const QString& text);

    bool m_editing = false;
    QPoint m_pos;
    QString m_text;
    SMarkupStyle m_style;
};

} // namespace BL::Capture
