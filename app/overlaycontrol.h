#pragma once

#include "capture/markupsurface.h"

#include <QObject>
#include <QPixmap>
#include <QPointer>

class CComparisonShotScreen;
class CCropScreen;
class CHelpScreen;
class QWidget;

namespace BL::Capture {
class COverlayHost;
}

namespace BL::App {

class CFrozenShot;

// The full-screen overlays over the main widget, their host window: the single, comparison and
// local selectors and the help screen. One is shown at a time, on the live desktop or, where
// the screen cannot be read behind them, on a picture of it taken just before (CFrozenShot).
// What a selector takes leaves through the signals, for the flows of the owner.
class COverlayControl : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(COverlayControl)

public:
    // The overlays become children of `host`, which COverlayHost makes their full-screen window.
    explicit COverlayControl(QWidget* host);

    void showSingleShot();
    void showComparisonShot();
    void showLocalShot();
    void showTextShot();
    void showHelp(const QString& imagePath, const QString& text);
    // See COverlayHost::prepareWindow().
    void prepareWindow();

    // For the host's paintEvent alone: paints the frozen picture under the host, in place of the
    // desktop. False on the live desktop, where nothing is painted.
    bool paintFrozenDesktop();
    // The host was closed: its overlays are gone, and with them the picture under them.
    void releaseFrozenDesktop();
    // Deletes the help screen at once, while the host and the other overlays are still whole,
    // ahead of the host's children.
    void deleteHelpScreen();

signals:
    // An overlay is about to come up.
    void aboutToShow();
    // The single shot's area is about to be grabbed: what does not need the picture can start.
    void aboutToGrab();
    // An area was taken (each of a comparison's two), and the one that starts an upload.
    void grabbed();
    void uploadGrabbed();
    void singleShotTaken(const QPixmap& shot);
    void comparisonShotTaken(const QPixmap& firstShot, const QPixmap& secondShot);
    void localShotTaken(const QPixmap& shot);
    // The area of a text shot, to be read; never kept or sent.
    void textShotTaken(const QPixmap& area);
    // A message for the person: the picture under the overlay could not be had.
    void failed(const QString& message);

private:
    void showOverlay(QWidget* overlay);
    // Which selector's picture the mark-up holds, and so where it goes on Enter.
    enum class EMarkupFor { SingleShot, LocalShot, Comparison };

    // The picture of a selector, marked by the person before it goes back to `owner`'s flow.
    void reviewShot(const QPixmap& picture, const QRect& globalRect, EMarkupFor owner);
    void onMarkupFinished(BL::Capture::CMarkupSurface::EAction action, const QImage& picture);
    void presentOverlay(QWidget* overlay);

    QWidget* m_host = nullptr;
    CCropScreen* m_singleShotScreen = nullptr;
    CCropScreen* m_localShotScreen = nullptr;
    CCropScreen* m_textShotScreen = nullptr;
    CComparisonShotScreen* m_comparisonShotScreen = nullptr;
    BL::Capture::CMarkupSurface* m_markup = nullptr;
    EMarkupFor m_markupFor = EMarkupFor::SingleShot;
    QPointer<CHelpScreen> m_helpScreen;
    BL::Capture::COverlayHost* m_overlayHost = nullptr;
    CFrozenShot* m_frozenShot = nullptr;
};

} // namespace BL::App
