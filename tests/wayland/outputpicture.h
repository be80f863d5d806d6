#pragma once

#include <QImage>
#include <QString>

// The pictures sway's outputs show, taken with grim, as references for what the program cut.
namespace BL::Test {

// What the output shows, at its own pixels, as the compositor hands it out; the whole layout at
// the greatest scale without an output, as the portal takes it.
QImage nativePicture(const QString& output, const QString& file);
// The output's picture once two in a row agree: a new scale or background is drawn a moment later.
QImage settledPicture(const QString& output, const QString& file);
// The first pixel where `image` differs from `reference`, or empty; every pixel is compared.
QString firstDifference(const QImage& image, const QImage& reference);

} // namespace BL::Test
