#pragma once

#include "capture/selectscreenarea.h"

// Selector of two areas taken one after the other and reported as a pair. The first/second
// state is kept while the overlay shows; Esc, or any other end of a showing between the two
// shots, starts the pair over.
// Signals of a complete pair: firstShot, secondShot, finished(first, second); hidden is emitted
// only when a showing is cancelled (the host closes itself once no overlay is left visible).
// firstShot/secondShot announce a grabbed picture: they are left out when a grab failed, while
// finished still reports the pair, with a null picture in it.
// With Shift held at the hand-off of either area, markupAsked carries its picture instead, and
// the selector waits, hidden, for the owner's markupDone(): the marked picture takes the area's
// place in the pair (after the first, secondAreaWanted asks the owner to show the selector
// again), and a null one abandons the pair.
class CComparisonShotScreen : public CSelectScreenArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CComparisonShotScreen)

public:
    explicit CComparisonShotScreen(QWidget* parent, Qt::WindowFlags flags = {});

    // The answer to markupAsked: the marked picture, or null when the person left the mark-up
    // without sharing it.
    void markupDone(const QPixmap& marked);
    bool isMarking() const { return m_marking; }

signals:
    void firstShot();
    void secondShot();
    void finished(const QPixmap& firstShot, const QPixmap& secondShot);
    // `globalRect` is where the picture was taken, in global coordinates.
    void markupAsked(const QPixmap& picture, const QRect& globalRect);
    void secondAreaWanted();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void processSelectedArea(const QRect& globalRect) override;
    // Hidden between the two areas, the selector would start the pair over (see hideEvent).
    bool hidesHostForGrab() const override { return false; }

private:
    void takeFirst(const QPixmap& picture);
    void takeSecond(const QPixmap& picture);
    void startOver();
    void reshowForSecondShot();

    bool m_firstShotPending = true;
    bool m_wasCanceled = false;
    bool m_marking = false; // an area's picture is out for marking
    QPixmap m_firstShotPixmap;
};
