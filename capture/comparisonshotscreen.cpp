#include "capture/comparisonshotscreen.h"

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
    m_wasCanceled = false;
    setHintSuffix(m_firstShotPending ? tr(" for the first shot") : tr(" for the second shot"));
    CSelectScreenArea::showEvent(event);
}

void CComparisonShotScreen::hideEvent(QHideEvent* event)
{
    // Between the two shots, and after a complete pair, hiding is not the end of the overlay.
    const bool quiet = m_firstShotPending && !m_wasCanceled;
    // Hidden while waiting for the second shot without Esc: the popup host closed on a press
    // elsewhere, or another overlay took its place. The old first picture must not pair with
    // whatever comes next, so the pair starts over.
    if (!m_firstShotPending) {
        m_firstShotPending = true;
        m_firstShotPixmap = QPixmap();
    }
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
    if (m_firstShotPending) {
        m_firstShotPixmap = grabSelection(globalRect);
        if (!m_firstShotPixmap.isNull())
            emit firstShot();
        hide(); // first shot still pending here, so the host is not told to close
        m_firstShotPending = false;
        reshowForSecondShot();
        return;
    }

    const QPixmap second = grabSelection(globalRect);
    if (!m_firstShotPixmap.isNull() && !second.isNull())
        emit secondShot();
    emit finished(m_firstShotPixmap, second);
    m_firstShotPending = true;
    m_firstShotPixmap = QPixmap();
    close();
}

void CComparisonShotScreen::reshowForSecondShot()
{
    restoreHostPosition();
    window()->show();
    show();
    QCoreApplication::processEvents();
}
