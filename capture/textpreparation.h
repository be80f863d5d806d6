#pragma once

#include <QImage>

namespace BL::Capture {

// How a picture of the screen is made ready for the text engine. Every step can be switched off,
// so that the benchmark can show what each one buys.
struct STextPreparation
{
    enum class EScaling { None, Bilinear, Cubic };
    EScaling scaling = EScaling::Cubic;
    // Text at 100 % is scaled by this much; at 200 % by half of it, and so on. Twice is best on
    // screen text: the small sizes gain most, more costs time and begins to lose again.
    double scaleAt100 = 2.0;
    bool invertLightOnDark = true;
    // Telling the engine the screen's resolution (scaled) changed no error rate on the corpus and
    // made each recognition slower than its own estimate from the text's size: off.
    bool passResolution = false;
};

// A grey picture for the engine and the resolution to tell it (0: let it guess).
struct SPreparedText
{
    QImage grey; // Format_Grayscale8, dark text on a light ground
    int dotsPerInch = 0;
    bool inverted = false;
};

// True when the picture holds no drawing at all: every pixel (nearly) the same grey. Such an
// area is not worth starting the engine for.
bool isOneColour(const QImage& grey);

// The grey ground of `grey`: the median of its pixels, which on screen text is the background.
int backgroundLevel(const QImage& grey);

// Scales a grey picture by `factor` with a Catmull-Rom cubic, which keeps the strokes of small
// text sharper than bilinear filtering without the ringing of wider kernels.
QImage scaleGreyCubic(const QImage& grey, double factor);

// `picture` as grabbed, `devicePixelRatio` of its screen and `logicalDpi` (the screen's logical
// dots per inch, 96 on most desktops).
SPreparedText prepareText(const QImage& picture, double devicePixelRatio, double logicalDpi,
                          const STextPreparation& steps = {});

} // namespace BL::Capture
