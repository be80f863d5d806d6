#include "encoders.h"

#include "api/pngencoder.h"
#include "figures.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <cstdio>

namespace {

template<typename Encode> std::vector<double> timeEncoder(int runs, qint64* bytes, Encode encode)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        *bytes = encode().size();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return ms;
}

// Our encoder's targets: half of Qt's time, at most a tenth more bytes.
QString oursTarget(double qtMedianMs, qint64 ours, qint64 qt)
{
    return QString("<= %1 = 0.5 x Qt; %2 bytes = %3 x Qt (<= 1.1)")
        .arg(qtMedianMs / 2, 0, 'f', 1)
        .arg(ours)
        .arg(double(ours) / qMax<qint64>(1, qt), 0, 'f', 3);
}

QString wayOf(const BL::Api::SPngEncoding& way)
{
    if (way.level == 0)
        return QStringLiteral("Qt's writer");
    if (way.twoBands)
        return QString("two bands, zlib 1 + libdeflate %1").arg(way.level);
    if (!way.photoLike)
        return QString("screen-like, one stream at libdeflate %1").arg(way.level);
    return way.runLengths ? QString("photo-like, one stream of zlib's runs (fewer bytes than libdeflate %1)")
                                .arg(way.level)
                          : QString("photo-like, one stream at libdeflate %1 (fewer bytes than zlib's runs)")
                                .arg(way.level);
}

} // namespace

QByteArray qtPng(const QImage& image, bool best)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    // Qt maps quality 0 to zlib's level 9; without a quality, libpng keeps zlib's default.
    image.save(&buffer, "PNG", best ? 0 : -1);
    return png;
}

SEncoderFigures measureEncoders(const QImage& screen, const QImage& photo, int runs)
{
    SEncoderFigures f;
    f.qtMs = timeEncoder(
        runs, &f.qtBytes, [&] { return qtPng(screen); });
    f.ourMs = timeEncoder(
        runs, &f.ourBytes,
        [&] { return BL::Api::encodeFastPng(screen, BL::Api::EPngThreads::Two, &f.ourWay); });
    f.qtPhotoMs = timeEncoder(
        runs, &f.qtPhotoBytes, [&] { return qtPng(photo); });
    f.ourPhotoMs = timeEncoder(
        runs, &f.ourPhotoBytes,
        [&] { return BL::Api::encodeFastPng(photo, BL::Api::EPngThreads::Two, &f.ourPhotoWay); });
    f.bestPhotoMs = timeEncoder(runs, &f.bestPhotoBytes, [&] { return qtPng(photo, true); });
    return f;
}

void printEncoderRows(const SEncoderFigures& f, int runs)
{
    std::printf("\nencoders on the same areas (%d runs each)                min    median       max\n", runs);
    printRow({"Qt default PNG, full screen (ms)", f.qtMs, QString("%1 bytes").arg(f.qtBytes)});
    printRow({"ours, full screen (ms)", f.ourMs, oursTarget(median(f.qtMs), f.ourBytes, f.qtBytes)});
    printRow({"Qt default PNG, 800x600 photo (ms)", f.qtPhotoMs, QString("%1 bytes").arg(f.qtPhotoBytes)});
    printRow({"zlib level 9 PNG, 800x600 photo (ms)", f.bestPhotoMs,
              QString("%1 bytes: the size reference").arg(f.bestPhotoBytes)});
    printRow({"ours, 800x600 photo (ms)", f.ourPhotoMs,
              oursTarget(median(f.qtPhotoMs), f.ourPhotoBytes, f.qtPhotoBytes)});
    std::printf(
        "ours on the photo against level 9: %.3f x its bytes (target <= 1.0), %.3f x its time (target <= "
        "0.2)\n",
        double(f.ourPhotoBytes) / qMax<qint64>(1, f.bestPhotoBytes),
        median(f.ourPhotoMs) / qMax(1e-9, median(f.bestPhotoMs)));
    std::printf("ours chose: full screen %s; photo %s\n", qPrintable(wayOf(f.ourWay)),
                qPrintable(wayOf(f.ourPhotoWay)));
}
