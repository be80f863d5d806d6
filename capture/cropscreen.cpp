#include "capture/cropscreen.h"

CCropScreen::CCropScreen(QWidget* parent, bool local, Qt::WindowFlags flags)
    : CSelectScreenArea(parent, flags)
{
    setHintSuffix(local ? tr(" for local shot") : QString());
}

void CCropScreen::processSelectedArea(const QRect& globalRect)
{
    if (!globalRect.isValid())
        return;
    const QPixmap picture = grabSelection(globalRect);
    if (markupWanted() && !picture.isNull()) {
        emit markupAsked(picture, globalRect);
        close();
        return;
    }
    if (!picture.isNull())
        emit shot();
    emit finished(picture);
    close();
}
