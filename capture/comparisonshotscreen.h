#pragma once

#include "capture/selectscreenarea.h"

// Selector of two areas taken one after the other and reported as a pair. The first/second
// state is kept while the overlay shows; Esc, or any other end of a showing between the two
// shots, starts the pair over.
// Signals of a complete pair: firstShot, secondShot, finished(first, second); hidden is emitted
// only when a showing is cancelled (the host closes itself once no overlay is left visible).
// firstShot/secondShot announce a grabbed picture: they are left out when a grab failed, while
// finished still reports the pair, with a null picture in it.
class CComparisonShotScreen : public CSelectScreenArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CComparisonShotScreen)

public:
    explicit CComparisonShotScreen(QWidget* parent, Qt::WindowFlags flags = {});

signals:
    void firstShot();
    void secondShot();
    void finished(const QPixmap& firstShot, const QPixmap& secondShot);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void processSelectedArea(const QRect& globalRect) override;
    // Hidden between the two areas, the selector would start the pair over (see hideEvent).
    bool hidesHostForGrab() const override { return false; }

private:
    void reshowForSecondShot();

    bool m_firstShotPending = true;
    bool m_wasCanceled = false;
    QPixmap m_firstShotPixmap;
};
