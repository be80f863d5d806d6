#include "shell/uploadmessage.h"

#include <QVector>

namespace BL::Shell {

QByteArray encodeUploadMessage(const QString& path)
{
    if (path.size() > kMaxUploadPathUnits || path.contains(QChar(0)))
        return QByteArray();
    QByteArray message(kUploadMessageBytes, '\0');
    for (int i = 0; i < path.size(); ++i) {
        const ushort unit = path.at(i).unicode();
        message[2 * i] = char(unit & 0xff);
        message[2 * i + 1] = char(unit >> 8);
    }
    return message;
}

QString decodeUploadMessage(const QByteArray& bytes)
{
    const int units = bytes.size() / 2;
    QVector<QChar> text;
    text.reserve(units);
    for (int i = 0; i < units; ++i) {
        const ushort unit = ushort(uchar(bytes.at(2 * i))) | ushort(uchar(bytes.at(2 * i + 1)) << 8);
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    return QString(text.constData(), text.size());
}

} // namespace BL::Shell
