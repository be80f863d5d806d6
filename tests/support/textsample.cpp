#include "textsample.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <vector>

namespace BL::Test {

QImage renderTextSample(const QStringList& lines, const QString& family, int points, double scale, bool dark,
                        QSize atLeast)
{
    QFont font(family);
    font.setPixelSize(qRound(points * 96.0 / 72.0 * scale));
    const QFontMetrics metrics(font);
    int width = 0;
    for (const QString& line : lines)
        width = std::max(width, metrics.horizontalAdvance(line));
    const int margin = qRound(10 * scale);
    const QSize size =
        QSize(width + 2 * margin, metrics.lineSpacing() * int(lines.size()) + 2 * margin).expandedTo(atLeast);
    QImage image(size, QImage::Format_RGB32);
    // Adwaita-like window colours of either theme; the ink is translucent, as themes draw it.
    image.fill(dark ? QColor(0x24, 0x24, 0x24) : QColor(0xfa, 0xfa, 0xfa));
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(dark ? QColor(0xff, 0xff, 0xff, 0xde) : QColor(0x00, 0x00, 0x00, 0xcc));
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(margin, margin + metrics.ascent() + i * metrics.lineSpacing(), lines.at(i));
    return image;
}

int editDistance(const QString& a, const QString& b)
{
    std::vector<int> row(static_cast<size_t>(b.size()) + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[static_cast<size_t>(j)] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int up = row[static_cast<size_t>(j)];
            row[static_cast<size_t>(j)] = std::min({up + 1, row[static_cast<size_t>(j) - 1] + 1,
                                                    diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[static_cast<size_t>(b.size())];
}

} // namespace BL::Test
