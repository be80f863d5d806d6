#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QKeyEvent;
class QWidget;

namespace BL::Capture {

// Turns a plain top-level widget (the tray program's main widget) into the host window of the
// capture overlays: a frameless, translucent, full-screen popup while an overlay is shown.
// Everything the host needs is done here through an event filter on the host, so the host
// itself has nothing to forward: key routing, activation when shown, the mouse cursor given
// back when closed, and closing once no overlay is left visible.
class COverlayHost : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(COverlayHost)

public:
    // `overlays` are children of `host`, in layout order. Sets the host's window flags,
    // translucent background and transparent palette, lays the overlays out without margins and
    // hides them. Each selector's hidden() closes the host. The host also closes whenever it is
    // left showing no overlay at all, so that an emptied transparent window never stays over the
    // desktop holding the input grab (the dismissed help screen, the completed comparison).
    COverlayHost(QWidget* host, const QList<QWidget*>& overlays);

    QList<QWidget*> overlays() const;

    // Hides every other overlay, shows `overlay` and makes the host a full-screen window over the
    // screen under the mouse cursor, with the system cursor hidden and the keyboard focus taken.
    void showOverlay(QWidget* overlay);

    // Makes the host's window and its screen-sized backing store now, while nothing waits for
    // them, and writes every page of it once. Kept from then on: a shot at any later time opens
    // the overlay without some two thousand page faults for a fresh picture of the screen.
    void prepareWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Key handling: a visible help screen is closed by any key; then Escape cancels every visible
    // selector, Return/Enter selects the whole screen (or, in window mode, the outlined window)
    // on the first visible one, in layout order, and Space switches that one's mode.
    void routeKey(const QKeyEvent* event);
    void closeIfEmpty();

    QPointer<QWidget> m_host;
    QList<QPointer<QWidget>> m_overlays;
};

} // namespace BL::Capture
