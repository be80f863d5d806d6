#include "app/overlaycontrol.h"

#include "app/frozenshot.h"
#include "app/logging.h"
#include "capture/comparisonshotscreen.h"
#include "capture/cropscreen.h"
#include "capture/helpscreen.h"
#include "capture/overlayhost.h"
#include "platform/pointerscreen.h"

#include <QPainter>
#include <QScreen>

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

    // The text shot's own selector: no mark-up, no sound, the area goes to be read.
    m_textShotScreen = new CCropScreen(host, true);
    m_textShotScreen->setObjectName(QStringLiteral("textShotScreen"));
    m_textShotScreen->setPurpose(tr(" for text"));
    m_textShotScreen->setDimColor(dim);
    connect(m_textShotScreen, &CCropScreen::finished, this, &COverlayControl::textShotTaken);
    // Shift held at the end asks for mark-up, which text has no use for: read it all the same.
    connect(m_textShotScreen, &CCropScreen::markupAsked, this,
            [this](const QPixmap& area, const QRect&) { emit textShotTaken(area); });

    m_markup = new BL::Capture::CMarkupSurface(host);
    m_markup->setObjectName(QStringLiteral("markupSurface"));
    m_markup->setDimColor(dim);
    connect(
        m_singleShotScreen, &CCropScreen::markupAsked, this,
        [this](const QPixmap& picture, const QRect& rect) {
            reviewShot(picture, rect, EMarkupFor::SingleShot);
        });
    connect(m_localShotScreen, &CCropScreen::markupAsked, this,
            [this](const QPixmap& picture, const QRect& rect) {
                reviewShot(picture, rect, EMarkupFor::LocalShot);
            });
    connect(m_markup, &BL::Capture::CMarkupSurface::finished, this, &COverlayControl::onMarkupFinished);

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
    connect(m_comparisonShotScreen, &CComparisonShotScreen::markupAsked, this,
            [this](const QPixmap& picture, const QRect& rect) {
                reviewShot(picture, rect, EMarkupFor::Comparison);
            });
    connect(m_comparisonShotScreen, &CComparisonShotScreen::secondAreaWanted, this, [this] {
        presentOverlay(m_comparisonShotScreen);
        qCInfo(lcApp) << "The first picture of the pair is marked; the second area is next";
    });

    // Also closes the host whenever it is left without a visible overlay.
    m_overlayHost =
        new BL::Capture::COverlayHost(host, {m_singleShotScreen, m_helpScreen, m_comparisonShotScreen,
                                             m_localShotScreen, m_markup, m_textShotScreen});

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

void COverlayControl::showTextShot()
{
    showOverlay(m_textShotScreen);
}

void COverlayControl::showHelp(const QString& imagePath, const QString& text)
{
    m_helpScreen->setHelpImage(imagePath);
    m_helpScreen->setHelpText(text);
    showOverlay(m_helpScreen);
}

void COverlayControl::prepareWindow()
{
    m_overlayHost->prepareWindow();
}

void COverlayControl::showOverlay(QWidget* overlay)
{
    // A selector that cannot read the screen once it is up works on a picture taken before.
    if (m_frozenShot->needed() && overlay != m_helpScreen && !m_frozenShot->hasPicture()) {
        // The picture is the desktop as it is now: a help screen left up would be in it, dimmed.
        if (m_helpScreen && m_helpScreen->isVisible())
            m_helpScreen->close();
        m_frozenShot->open(overlay);
        return;
    }
    presentOverlay(overlay);
}

void COverlayControl::reviewShot(const QPixmap& picture, const QRect& globalRect, EMarkupFor owner)
{
    m_markupFor = owner;
    // The host comes up on the screen under the pointer, which is where the selection ended.
    const QScreen* screen = BL::Platform::screenUnderPointer();
    const QPoint origin = screen ? screen->geometry().topLeft() : QPoint();
    m_markup->setPicture(picture.toImage(), globalRect.topLeft() - origin);
    presentOverlay(m_markup);
    qCInfo(lcApp) << "Marking up a picture of" << picture.width() << "x" << picture.height();
}

void COverlayControl::onMarkupFinished(BL::Capture::CMarkupSurface::EAction action, const QImage& picture)
{
    using EAction = BL::Capture::CMarkupSurface::EAction;
    m_markup->hide();
    const QPixmap marked = QPixmap::fromImage(picture);
    m_markup->setPicture(QImage(), QPoint());
    // Ctrl+S keeps the picture as a local shot whichever selector took it; Ctrl+C has put it on
    // the clipboard already.
    if (action == EAction::Save) {
        emit grabbed();
        emit localShotTaken(marked);
    }
    switch (m_markupFor) {
    case EMarkupFor::Comparison:
        // The pair goes on only with a picture shared into it; Save, Copy and Esc leave it.
        m_comparisonShotScreen->markupDone(action == EAction::Share ? marked : QPixmap());
        break;
    case EMarkupFor::LocalShot:
        if (action == EAction::Share) {
            emit grabbed();
            emit localShotTaken(marked);
        }
        break;
    case EMarkupFor::SingleShot:
        if (action == EAction::Share) {
            emit grabbed();
            emit uploadGrabbed();
            emit singleShotTaken(marked);
        }
        break;
    }
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
