#pragma once

#include <QByteArray>
#include <QImage>
#include <vector>

// Qt's default PNG writer against ours, on the very areas the shots take.
struct SEncoderFigures
{
    std::vector<double> qtMs, ourMs, qtPhotoMs, ourPhotoMs;
    qint64 qtBytes = 0, ourBytes = 0, qtPhotoBytes = 0, ourPhotoBytes = 0;
};

QByteArray qtPng(const QImage& image);
SEncoderFigures measureEncoders(const QImage& screen, const QImage& photo, int runs);
void printEncoderRows(const SEncoderFigures& figures, int runs);
