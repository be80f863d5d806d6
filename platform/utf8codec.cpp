#include "platform/utf8codec.h"

#include <QByteArrayMatcher>
#include <cstring>
#include <utility>

namespace {

const char kBom[] = "\xEF\xBB\xBF";

// Bytes at the end of DATA that start a sequence the rest of which has not arrived yet.
int incompleteTail(const char* data, int length)
{
    for (int back = 1; back <= 3 && back <= length; ++back) {
        const auto byte = static_cast<uchar>(data[length - back]);
        if ((byte & 0xC0) == 0x80)
            continue;
        const int needed = byte >= 0xF8 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return needed > back ? back : 0;
    }
    return 0;
}

// Replacement characters the decoder made, not those the input spelled out.
int decodingFailures(const QByteArray& input, const QString& output)
{
    const int made = output.count(QChar::ReplacementCharacter);
    if (made == 0)
        return 0;
    int spelled = 0;
    const QByteArrayMatcher replacement(QByteArrayLiteral("\xEF\xBF\xBD"));
    for (int at = replacement.indexIn(input); at >= 0; at = replacement.indexIn(input, at + 3))
        ++spelled;
    return made - spelled;
}

} // namespace

namespace BL::Platform {

QByteArray CUtf8Codec::name() const
{
    return QByteArrayLiteral("UTF-8");
}

int CUtf8Codec::mibEnum() const
{
    return 106;
}

QString CUtf8Codec::convertToUnicode(const char* in, int length, ConverterState* state) const
{
    if (!state)
        return QString::fromUtf8(in, length);
    // The bytes of a sequence cut by the end of the last piece wait in the state.
    QByteArray input(reinterpret_cast<const char*>(&state->state_data[0]), state->remainingChars);
    input.append(in, length);
    const int tail = incompleteTail(input.constData(), input.size());
    const QByteArray whole = input.left(input.size() - tail);
    QString output;
    // Only the stream's first bytes may be a byte order mark; later it is a character.
    if (whole.startsWith(kBom) && (state->flags & IgnoreHeader))
        output = QChar(0xFEFF) + QString::fromUtf8(whole.constData() + 3, whole.size() - 3);
    else
        output = QString::fromUtf8(whole);
    state->invalidChars += decodingFailures(whole, output);
    if (state->flags & ConvertInvalidToNull)
        output.replace(QChar::ReplacementCharacter, QChar::Null);
    state->remainingChars = tail;
    state->state_data[0] = 0;
    std::memcpy(&state->state_data[0], input.constData() + whole.size(), size_t(tail));
    if (!whole.isEmpty())
        state->flags |= IgnoreHeader;
    return output;
}

QByteArray CUtf8Codec::convertFromUnicode(const QChar* in, int length, ConverterState* state) const
{
    if (!state)
        return QString::fromRawData(in, length).toUtf8();
    // A high surrogate at the end of a piece waits in the state for its low half.
    QString input;
    if (state->remainingChars)
        input.append(QChar(ushort(state->state_data[0])));
    input.append(in, length);
    state->remainingChars = 0;
    if (!input.isEmpty() && std::as_const(input).back().isHighSurrogate()) {
        state->remainingChars = 1;
        state->state_data[0] = std::as_const(input).back().unicode();
        input.chop(1);
    }
    for (int i = 0; i < input.size(); ++i)
        if (input.at(i).isHighSurrogate() && i + 1 < input.size() && input.at(i + 1).isLowSurrogate())
            ++i;
        else if (input.at(i).isSurrogate())
            ++state->invalidChars;
    QByteArray output;
    if (!(state->flags & IgnoreHeader))
        output = kBom;
    state->flags |= IgnoreHeader;
    return output + input.toUtf8();
}

void useUtf8ForLocale()
{
    QTextCodec::setCodecForLocale(new CUtf8Codec);
}

} // namespace BL::Platform
