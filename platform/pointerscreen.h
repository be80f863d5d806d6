#pragma once

#include <QPoint>
#include <QString>
#include <QtGlobal>

class QScreen;

namespace BL::Platform {

// Where a program learns the pointer's position only over its own windows (Wayland), the
// compositor can still say which output the pointer is on.
class CAbstractPointerOutput
{
public:
    virtual ~CAbstractPointerOutput() = default;
    // The name of the output under the pointer, as QScreen::name() gives it; empty when the
    // compositor does not answer.
    virtual QString outputName() = 0;
};

// The screen under the pointer: the compositor's answer where the window system has one, Qt's
// cursor position otherwise. Null only without any screen. `position`, if given, receives
// Qt's cursor position from the same look (on X11 each look is a round trip to the server).
QScreen* screenUnderPointer(QPoint* position = nullptr);

// While one lives, screenUnderPointer() takes the pointer where the input being handled found
// it (an X key press carries the position, in the root window's pixels) instead of asking the
// server again: the overlay opens on the screen the person pressed the hotkey on, one round
// trip sooner, while the server is busiest.
class CPointerAtInput
{
    Q_DISABLE_COPY_MOVE(CPointerAtInput)

public:
    explicit CPointerAtInput(const QPoint& native);
    ~CPointerAtInput();
};

} // namespace BL::Platform
