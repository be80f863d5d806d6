#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

// Text pictures for the text recognition's tests and benchmark, and how far a reading is off.
namespace BL::Test {

// Lines drawn as a desktop draws them: hinted, grey-antialiased, `points` at 96 dpi times
// `scale`, on a theme's window colours, with a margin around the text.
QImage renderTextSample(const QStringList& lines, const QString& family, int points, double scale, bool dark,
                        QSize atLeast = QSize());

// The fewest single-character insertions, deletions and substitutions that turn `a` into `b`.
int editDistance(const QString& a, const QString& b);

} // namespace BL::Test
