#pragma once

#include "capture/selectscreenarea.h"

// Selector of one area: the single shot (uploaded) or, with `local`, the local shot (saved).
// Signals of a shot: shot, finished, then hidden when the selector closes. When the grab fails
// (say the screen went away) finished carries a null picture and shot is not emitted, so that
// no shutter sound or upload animation announces a picture that does not exist. With Shift held
// at the hand-off, markupAsked carries the picture instead, for the owner to have it marked first.
class CCropScreen : public CSelectScreenArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CCropScreen)

public:
    CCropScreen(QWidget* parent, bool local, Qt::WindowFlags flags = {});

    // What the hint under the selection says the area is for (" for local shot").
    void setPurpose(const QString& hintSuffix) { setHintSuffix(hintSuffix); }

signals:
    void shot();
    void finished(const QPixmap& shot);
    // `globalRect` is where the picture was taken, in global coordinates.
    void markupAsked(const QPixmap& picture, const QRect& globalRect);

protected:
    void processSelectedArea(const QRect& globalRect) override;
};
