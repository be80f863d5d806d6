#pragma once

#include <QByteArray>
#include <QString>

// The message a file manager's hand-off sends to the running program: one path per
// connection, as UTF-16 little-endian code units, a NUL code unit, then filler up to
// at least kUploadMessageBytes. Nothing is ever sent back.
namespace BL::Shell {

constexpr int kUploadMessageBytes = 520;
// The fixed buffer holds the NUL too.
constexpr int kMaxUploadPathUnits = kUploadMessageBytes / 2 - 1;

// Where the running program listens: a name only this user can reach.
QString uploadPipeName();

// Exactly kUploadMessageBytes bytes; empty when `path` is longer than kMaxUploadPathUnits
// code units or holds a NUL, since such a path cannot travel in the fixed buffer.
QByteArray encodeUploadMessage(const QString& path);

// The code units before the first NUL, or all complete units when there is none
// (an odd trailing byte is dropped). Never reads past `bytes`.
QString decodeUploadMessage(const QByteArray& bytes);

} // namespace BL::Shell
