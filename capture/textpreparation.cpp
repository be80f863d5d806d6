#include "capture/textpreparation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace BL::Capture {

namespace {

constexpr int kOneColourSpread = 8; // grey levels; JPEG noise or a faint gradient is no text

// Catmull-Rom: interpolating, so a flat ground stays flat and stroke edges stay where they were.
double cubicWeight(double x)
{
    x = std::abs(x);
    if (x < 1.0)
        return 1.5 * x * x * x - 2.5 * x * x + 1.0;
    if (x < 2.0)
        return -0.5 * x * x * x + 2.5 * x * x - 4.0 * x + 2.0;
    return 0.0;
}

struct STaps
{
    std::array<int, 4> index;
    std::array<float, 4> weight;
};

// The four source samples and their weights for each destination position along one axis.
std::vector<STaps> cubicTaps(int from, int to)
{
    std::vector<STaps> taps(static_cast<size_t>(to));
    const double scale = double(from) / double(to);
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * scale - 0.5;
        const int first = int(std::floor(centre)) - 1;
        double sum = 0;
        STaps& tap = taps[static_cast<size_t>(i)];
        for (int k = 0; k < 4; ++k) {
            const double w = cubicWeight(centre - (first + k));
            tap.index[k] = std::clamp(first + k, 0, from - 1);
            tap.weight[k] = float(w);
            sum += w;
        }
        for (float& w : tap.weight)
            w = float(w / sum);
    }
    return taps;
}

} // namespace

bool isOneColour(const QImage& grey)
{
    int lowest = 255;
    int highest = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* line = grey.constScanLine(y);
        const auto [low, high] = std::minmax_element(line, line + grey.width());
        lowest = std::min<int>(lowest, *low);
        highest = std::max<int>(highest, *high);
        if (highest - lowest > kOneColourSpread)
            return false;
    }
    return true;
}

int backgroundLevel(const QImage& grey)
{
    std::array<qint64, 256> histogram{};
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* line = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            ++histogram[line[x]];
    }
    const qint64 half = qint64(grey.width()) * grey.height() / 2;
    qint64 seen = 0;
    for (int level = 0; level < 256; ++level) {
        seen += histogram[static_cast<size_t>(level)];
        if (seen > half)
            return level;
    }
    return 255;
}

QImage scaleGreyCubic(const QImage& grey, double factor)
{
    const int width = std::max(1, int(std::lround(grey.width() * factor)));
    const int height = std::max(1, int(std::lround(grey.height() * factor)));
    const std::vector<STaps> columns = cubicTaps(grey.width(), width);
    const std::vector<STaps> rows = cubicTaps(grey.height(), height);

    // Horizontal pass into floats, then vertical pass into the result.
    std::vector<float> wide(static_cast<size_t>(width) * static_cast<size_t>(grey.height()));
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* in = grey.constScanLine(y);
        float* out = wide.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) {
            const STaps& tap = columns[static_cast<size_t>(x)];
            out[x] = tap.weight[0] * in[tap.index[0]] + tap.weight[1] * in[tap.index[1]] +
                     tap.weight[2] * in[tap.index[2]] + tap.weight[3] * in[tap.index[3]];
        }
    }
    QImage scaled(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        const STaps& tap = rows[static_cast<size_t>(y)];
        const float* in[4];
        for (int k = 0; k < 4; ++k)
            in[k] = wide.data() + static_cast<size_t>(tap.index[k]) * static_cast<size_t>(width);
        uchar* out = scaled.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const float v = tap.weight[0] * in[0][x] + tap.weight[1] * in[1][x] + tap.weight[2] * in[2][x] +
                            tap.weight[3] * in[3][x];
            out[x] = uchar(std::clamp(std::lround(v), 0L, 255L));
        }
    }
    return scaled;
}

SPreparedText prepareText(const QImage& picture, double devicePixelRatio, double logicalDpi,
                          const STextPreparation& steps)
{
    SPreparedText prepared;
    prepared.grey = picture.convertToFormat(QImage::Format_Grayscale8);
    if (prepared.grey.isNull())
        return prepared;
    const double ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    // The engine reads dark on light best; a dark theme is turned around before scaling so that
    // the filter works on the same polarity whichever theme the text came from.
    if (steps.invertLightOnDark && backgroundLevel(prepared.grey) < 128) {
        prepared.grey.invertPixels();
        prepared.inverted = true;
    }
    const double factor =
        steps.scaling == STextPreparation::EScaling::None ? 1.0 : std::max(1.0, steps.scaleAt100 / ratio);
    if (factor > 1.0) {
        if (steps.scaling == STextPreparation::EScaling::Cubic)
            prepared.grey = scaleGreyCubic(prepared.grey, factor);
        else
            prepared.grey = prepared.grey
                                .scaled(int(std::lround(prepared.grey.width() * factor)),
                                        int(std::lround(prepared.grey.height() * factor)),
                                        Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                .convertToFormat(QImage::Format_Grayscale8); // Qt scales grey in colour
    }
    if (steps.passResolution)
        prepared.dotsPerInch = int(std::lround(logicalDpi * ratio * factor));
    return prepared;
}

} // namespace BL::Capture
