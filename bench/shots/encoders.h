#pragma once

#include "api/pngencoder.h"

#include <QByteArray>
#include <QImage>
#include <vector>

// Qt's default PNG writer against ours, on the very areas the shots take; and, for the photo,
// the same writer at zlib's best level as the reference for size.
struct SEncoderFigures
{
    std::vector<double> qtMs, ourMs, qtPhotoMs, ourPhotoMs, bestPhotoMs;
    qint64 qtBytes = 0, ourBytes = 0, qtPhotoBytes = 0, ourPhotoBytes = 0, bestPhotoBytes = 0;
    BL::Api::SPngEncoding ourWay, ourPhotoWay; // what our encoder chose for each area
};

// Qt's writer at its default level, or at zlib's level 9 (`best`).
QByteArray qtPng(const QImage& image, bool best = false);
SEncoderFigures measureEncoders(const QImage& screen, const QImage& photo, int runs);
void printEncoderRows(const SEncoderFigures& figures, int runs);
