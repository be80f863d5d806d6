#pragma once

#include <QList>

class QKeyEvent;
class QWidget;

// The host window of the capture overlays: a plain top-level widget (the tray program's main
// widget) that becomes a frameless, translucent, full-screen popup while an overlay is shown.
//
// How a host uses these helpers:
//   constructor, once, after creating the overlays:
//       BL::Capture::setupHostWindow(this, {singleShot, helpScreen, comparisonShot, localShot});
//   to show an overlay:      BL::Capture::showOverlay(this, overlay);
//   keyPressEvent(e):        BL::Capture::routeHostKey(this, e);
//   closeEvent(e):           QWidget::closeEvent(e); BL::Capture::hostClosed(this);
//   showEvent(e):            QWidget::showEvent(e); BL::Capture::hostShown(this);
namespace BL::Capture {

// Makes `host` the host window of `overlays` (children of the host, given in layout order):
// popup and frameless window flags, translucent background, transparent palette, a margin-less
// QVBoxLayout holding the overlays, all of them hidden. Each selector's hidden() closes the host.
// The host also closes itself whenever it is left showing no overlay at all, so that an emptied
// transparent window never stays over the desktop or out of sight holding the input grab: this
// covers the dismissed help screen and the completed comparison, which emit no hidden().
void setupHostWindow(QWidget* host, const QList<QWidget*>& overlays);

// The overlays of a host set up by setupHostWindow, in layout order.
QList<QWidget*> hostOverlays(const QWidget* host);

// Hides every overlay, shows `overlay` and makes the host a full-screen window over the screen
// under the mouse cursor, with the system cursor hidden and the keyboard focus taken.
void showOverlay(QWidget* host, QWidget* overlay);

// Key handling of the host: a visible help screen is closed by any key; then Escape cancels every
// visible selector and Return/Enter selects the whole screen on the first visible one, in layout
// order (single shot, comparison, local shot). Other keys do nothing more.
void routeHostKey(QWidget* host, const QKeyEvent* event);

// For the host's showEvent: activates and raises the host and gives it the keyboard focus.
void hostShown(QWidget* host);

// For the host's closeEvent: brings back the mouse cursor hidden by showOverlay.
void hostClosed(QWidget* host);

} // namespace BL::Capture
