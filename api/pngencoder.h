#pragma once

#include <QByteArray>

class QImage;

namespace BL::Api {

// Lossless PNG bytes of `image`, several times quicker than Qt's own writer for screen-sized
// pictures: each row gets a cheap filter choice and the rows are compressed with libdeflate; an
// area that is photo-like, and not too large, is compressed harder, for up to a tenth fewer bytes.
// Truecolour pictures become 8-bit RGB, or RGBA when they have an alpha channel; other formats
// (palette, grey, 16-bit) keep Qt's writer. Safe off the GUI thread; empty for a null image
// or when the picture cannot be encoded.
// A second thread filters and compresses a band of a large picture. Either way the bytes are the
// same; One leaves the other core to the caller's other work. TwoInBackground is for a caller that
// has lowered its own priority: its second thread yields to interactive work as well.
enum class EPngThreads { One, Two, TwoInBackground };
// How a picture was compressed, for the benchmark's figures and the tests.
struct SPngEncoding
{
    bool photoLike = false;  // looked at only below a size; a full screen is never
    bool twoBands = false;   // two bands side by side, the first by zlib, the last by libdeflate
    bool runLengths = false; // one stream of zlib's runs, fewer bytes than libdeflate's for a photo
    int level = 0;           // libdeflate's level of the stream, the last band or the tried one;
                             // 0: Qt's writer
};
QByteArray encodeFastPng(const QImage& image, EPngThreads threads = EPngThreads::Two,
                         SPngEncoding* encoding = nullptr);

} // namespace BL::Api
