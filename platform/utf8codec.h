#pragma once

#include <QTextCodec>

namespace BL::Platform {

// UTF-8 as Qt's own codec does it, streams split anywhere included, without going through ICU:
// with Qt built on ICU, merely asking for the locale's codec, or for a codec by name, loads
// ICU's converter code and alias tables (some 0.8 MiB resident for the program's whole run).
class CUtf8Codec : public QTextCodec
{
public:
    QByteArray name() const override;
    int mibEnum() const override;

protected:
    QString convertToUnicode(const char* in, int length, ConverterState* state) const override;
    QByteArray convertFromUnicode(const QChar* in, int length, ConverterState* state) const override;
};

// Makes UTF-8 the codec of local 8-bit text, file names and text streams. Call before anything
// decodes a name or an argument; the codec belongs to Qt from then on.
void useUtf8ForLocale();

} // namespace BL::Platform
