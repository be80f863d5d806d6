#include "app/overlaycontrol.h"

#include "app/frozenshot.h"
#include "capture/comparisonshotscreen.h"
#include "capture/cropscreen.h"
#include "capture/helpscreen.h"
#include "capture/overlayhost.h"

#include <QPainter>

namespace BL::App {

COverlayControl::COverlayControl(QWidget* host) : QObject(host), m_host(host)
{
    const QColor dim = BL::Capture::dimColor();
    m_singleShotScreen = new CCropScreen(host, false);
    m_singleShotScreen->setObjectName(QStringLiteral("singleShotScreen"));
    m_singleShotScreen->setDimColor(dim);
    connect(m_singleShotScreen, &CCropScreen::aboutToGrab, this, &COverlayControl::aboutToGrab);
    connect(m_singleShotScreen, &CCropScreen::shot, this, &COverlayControl::grabbed);
    connect(m_singleShotScreen, &CCropScreen::shot, this, &COverlayControl::uploadGrabbed);
    connect(m_singleShotScreen, &CCropScreen::finished, this, &COverlayControl::singleShotTaken);

    m_localShotScreen = new CCropScreen(host, true);
    m_localShotScreen->setObjectName(QStringLiteral("localShotScreen"));
    m_localShotScreen->setDimColor(dim);
    connect(m_localShotScreen, &CCropScreen::shot, this, &COverlayControl::grabbed);
    connect(m_localShotScreen, &CCropScreen::finished, this, &COverlayControl::localShotTaken);

    m_helpScreen = new CHelpScreen(host, QString(), QString());
    m_helpScreen->setObjectName(QStringLiteral("helpScreen"));
    m_helpScreen->setColor(dim);

    m_comparisonShotScreen = new CComparisonShotScreen(host);
    m_comparisonShotScreen->setObjectName(QStringLiteral("comparisonShotScreen"));
    m_comparisonShotScreen->setDimColor(dim);
    connect(m_comparisonShotScreen, &CComparisonShotScreen::firstShot, this, &COverlayControl::grabbed);
    connect(m_comparisonShotScreen, &CComparisonShotScreen::secondShot, this, &COverlayControl::grabbed);
    connect(m_comparisonShotScreen, &CComparisonShotScreen::secondShot, this,
            &COverlayControl::uploadGrabbed);
    connect(m_comparisonShotScreen, &CComparisonShotScreen::finished, this,
            &COverlayControl::comparisonShotTaken);

    // Also closes the host whenever it is left without a visible overlay.
    m_overlayHost = new BL::Capture::COverlayHost(
        host, {m_singleShotScreen, m_helpScreen, m_comparisonShotScreen, m_localShotScreen});

    m_frozenShot = new CFrozenShot(this);
    connect(m_frozenShot, &CFrozenShot::ready, this, &COverlayControl::presentOverlay);
    connect(m_frozenShot, &CFrozenShot::failed, this, &COverlayControl::failed);
}

void COverlayControl::showSingleShot()
{
    showOverlay(m_singleShotScreen);
}

void COverlayControl::showComparisonShot()
{
    showOverlay(m_comparisonShotScreen);
}

void COverlayControl::showLocalShot()
{
    showOverlay(m_localShotScreen);
}

void COverlayControl::showHelp(const QString& imagePath, const QString& text)
{
    m_helpScreen->setHelpImage(imagePath);
    m_helpScreen->setHelpText(text);
    showOverlay(m_helpScreen);
}

void COverlayControl::showOverlay(QWidget* overlay)
{
    // A selector that cannot read the screen once it is up works on a picture taken before.
    if (m_frozenShot->needed() && overlay != m_helpScreen && !m_frozenShot->hasPicture()) {
        m_frozenShot->open(overlay);
        return;
    }
    presentOverlay(overlay);
}

void COverlayControl::presentOverlay(QWidget* overlay)
{
    emit aboutToShow();
    m_overlayHost->showOverlay(overlay);
}

bool COverlayControl::paintFrozenDesktop()
{
    if (!m_frozenShot->hasPicture())
        return false;
    // Under the selectors' dim colour.
    QPainter painter(m_host);
    m_frozenShot->paint(painter, m_host->rect(), QRect(m_host->mapToGlobal(QPoint(0, 0)), m_host->size()));
    return true;
}

void COverlayControl::releaseFrozenDesktop()
{
    m_frozenShot->release();
}

void COverlayControl::deleteHelpScreen()
{
    delete m_helpScreen;
}

} // namespace BL::App
