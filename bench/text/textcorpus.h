#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <vector>

namespace BL::Bench {

// One picture of screen-like text and what it says.
struct STextSample
{
    QString group;  // "dialog", "menu", "paragraph", "code", "numbers", "email"
    QString family; // DejaVu Sans, Serif or Sans Mono (Debian's fonts-dejavu-core)
    int points = 0;
    double scale = 1.0; // 1 for 100 %, 2 for 200 %
    bool dark = false;
    QStringList lines;
    QImage picture;
};

// Renders the corpus: every group in every font at `points`, light and dark, at `scales`. The
// texts are fixed; which lines a sample shows rotates, so that no two samples repeat.
std::vector<STextSample> makeTextCorpus(const std::vector<int>& points, const std::vector<double>& scales);

// A dialog's text filling an 800 x 200 area at 100 %: the latency probe.
STextSample makeLatencySample();

} // namespace BL::Bench
