#include "capture/comparisonshotscreen.h"

#include "capture/logging.h"

#include <QCoreApplication>

CComparisonShotScreen::CComparisonShotScreen(QWidget* parent, Qt::WindowFlags flags)
    : CSelectScreenArea(parent, flags)
{
    connect(
        this, &CSelectScreenArea::canceled, this,
        [this] {
            m_wasCanceled = true;
            m_firstShotPending = true;
        },
        Qt::DirectConnection);
}

void CComparisonShotScreen::showEvent(QShowEvent* event)
{
    // Shown again while a picture was out for marking: the mark-up went away without an answer
    // (the host was closed under it), so the pair is not to be finished from here.
    if (m_marking)
        startOver();
    m_wasCanceled = false;
    setHintSuffix(m_firstShotPending ? tr(" for the first shot") : tr(" for the second shot"));
    CSelectScreenArea::showEvent(event);
}

void CComparisonShotScreen::hideEvent(QHideEvent* event)
{
    // Between the two shots, after a complete pair, and while a picture is marked, hiding is
    // not the end of the overlay.
    const bool quiet = (m_firstShotPending && !m_wasCanceled) || m_marking;
    // Hidden while waiting for the second shot without Esc: the popup host closed on a press
    // elsewhere, or another overlay took its place. The old first picture must not pair with
    // whatever comes next, so the pair starts over.
    if (!m_firstShotPending && !m_marking)
        startOver();
    if (quiet) {
        QWidget::hideEvent(event);
        hideDecorations();
        return;
    }
    CSelectScreenArea::hideEvent(event);
}

void CComparisonShotScreen::processSelectedArea(const QRect& globalRect)
{
    if (!globalRect.isValid())
        return;
    const QPixmap picture = grabSelection(globalRect);
    if (markupWanted() && !picture.isNull()) {
        m_marking = true;
        emit markupAsked(picture, globalRect);
        // The owner shows the mark-up in its place; should it not have, nothing is left up.
        if (m_marking && isVisible())
            hide();
        return;
    }
    if (m_firstShotPending)
        takeFirst(picture);
    else
        takeSecond(picture);
}

void CComparisonShotScreen::markupDone(const QPixmap& marked)
{
    if (!m_marking)
        return;
    m_marking = false;
    if (marked.isNull()) {
        startOver();
        return;
    }
    if (m_firstShotPending) {
        m_firstShotPixmap = marked;
        emit firstShot();
        m_firstShotPending = false;
        emit secondAreaWanted();
        return;
    }
    takeSecond(marked);
}

void CComparisonShotScreen::takeFirst(const QPixmap& picture)
{
    m_firstShotPixmap = picture;
    if (!m_firstShotPixmap.isNull())
        emit firstShot();
    hide(); // first shot still pending here, so the host is not told to close
    m_firstShotPending = false;
    reshowForSecondShot();
}

void CComparisonShotScreen::takeSecond(const QPixmap& picture)
{
    if (!m_firstShotPixmap.isNull() && !picture.isNull())
        emit secondShot();
    emit finished(m_firstShotPixmap, picture);
    startOver();
    close();
}

void CComparisonShotScreen::startOver()
{
    m_marking = false;
    m_firstShotPending = true;
    m_firstShotPixmap = QPixmap();
}

void CComparisonShotScreen::reshowForSecondShot()
{
    restoreHostPosition();
    window()->show();
    show();
    QCoreApplication::processEvents();
    // The overlay hides and shows again within one call: no look at the screen can tell.
    qCDebug(lcCapture) << "comparison overlay shown again for the second area";
}
