// The program's own UTF-8 codec for local 8-bit text: the same text as Qt's decoding of the
// whole, however a stream is cut into pieces, failures counted, and the locale's codec set up
// without ICU's converter tables ever being read.
#include "platform/utf8codec.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTextStream>
#include <QtTest>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// Resident KiB of every mapping of the library whose path contains NAME.
long long residentKib(const char* name)
{
    QByteArray text;
    const int fd = ::open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    char chunk[65536];
    for (ssize_t got = 0; fd >= 0 && (got = ::read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, int(got));
    if (fd >= 0)
        ::close(fd);
    long long kib = 0;
    bool inside = false;
    const QRegularExpression mapping(QStringLiteral("^[0-9a-f]+-[0-9a-f]+ "));
    for (const QByteArray& line : text.split('\n'))
        if (mapping.match(QString::fromLatin1(line)).hasMatch())
            inside = line.contains(name);
        else if (inside && line.startsWith("Rss:"))
            kib += line.mid(4).trimmed().split(' ').first().toLongLong();
    return text.isEmpty() ? -1 : kib;
}

QString g_earlyName;

} // namespace

class TestUtf8Codec : public QObject
{
    Q_OBJECT

private slots:
    void localeCodecLeavesIcuAlone();
    void piecesDecodeAsTheWhole();
    void piecesEncodeAsTheWhole();
};

void TestUtf8Codec::localeCodecLeavesIcuAlone()
{
    QTextCodec* codec = QTextCodec::codecForLocale();
    QCOMPARE(codec->mibEnum(), 106);
    QCOMPARE(g_earlyName, QStringLiteral("/tmp/Größe"));
    const QString name = QStringLiteral("Bildschirmfoto – Größe ✓ 😀.png");
    QCOMPARE(QFile::decodeName(QFile::encodeName(name)), name);
    QCOMPARE(QFile::encodeName(name), name.toUtf8());
    // ICU's data was never read (Qt's own choice of the locale codec reads some 250 KiB of it).
    const long long icuData = residentKib("libicudata");
    QVERIFY2(icuData >= 0 && icuData < 64, qPrintable(QString::number(icuData)));
}

void TestUtf8Codec::piecesDecodeAsTheWhole()
{
    const QByteArray whole = QByteArrayLiteral("\xEF\xBB\xBF"
                                               "a\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBB\xBF"
                                               "b \xEF\xBF\xBD \xFF c \xE2\x82 d");
    const QString expected = QString::fromUtf8(whole);
    QVERIFY(expected.startsWith(QLatin1Char('a')));
    QTextCodec* codec = QTextCodec::codecForLocale();
    for (int piece = 1; piece <= 5; ++piece) {
        std::unique_ptr<QTextDecoder> decoder(codec->makeDecoder());
        QString decoded;
        for (int at = 0; at < whole.size(); at += piece)
            decoded += decoder->toUnicode(whole.constData() + at, qMin(piece, int(whole.size() - at)));
        QCOMPARE(decoded, expected);
        // The stray 0xFF and the cut euro sign failed; the spelled-out U+FFFD did not.
        QVERIFY(decoder->hasFailure());
    }
    std::unique_ptr<QTextDecoder> clean(codec->makeDecoder());
    QString joined = clean->toUnicode(QByteArrayLiteral("\xF0\x9F"));
    joined += clean->toUnicode(QByteArrayLiteral("\x98\x80"));
    QCOMPARE(joined, QStringLiteral("😀"));
    QVERIFY(!clean->hasFailure());

    // A text stream over a file reads through the locale's codec in pieces of its own.
    QTemporaryFile file;
    QVERIFY(file.open());
    const QByteArray lines = QString(QStringLiteral("Größe ✓ 😀\n")).repeated(3000).toUtf8();
    file.write(lines);
    file.seek(0);
    QTextStream stream(&file);
    QCOMPARE(stream.readAll(), QString::fromUtf8(lines));
}

void TestUtf8Codec::piecesEncodeAsTheWhole()
{
    const QString whole = QStringLiteral("a é € 😀 b 😀");
    QTextCodec* codec = QTextCodec::codecForLocale();
    for (int piece = 1; piece <= 4; ++piece) {
        std::unique_ptr<QTextEncoder> encoder(codec->makeEncoder(QTextCodec::IgnoreHeader));
        QByteArray encoded;
        for (int at = 0; at < whole.size(); at += piece)
            encoded += encoder->fromUnicode(whole.constData() + at, qMin(piece, int(whole.size() - at)));
        QCOMPARE(encoded, whole.toUtf8());
        QVERIFY(!encoder->hasFailure());
    }
    std::unique_ptr<QTextEncoder> marked(codec->makeEncoder());
    QByteArray twice = marked->fromUnicode(QStringLiteral("é"));
    twice += marked->fromUnicode(QStringLiteral("é"));
    QCOMPARE(twice, QByteArrayLiteral("\xEF\xBB\xBF\xC3\xA9\xC3\xA9"));
    std::unique_ptr<QTextEncoder> lone(codec->makeEncoder(QTextCodec::IgnoreHeader));
    lone->fromUnicode(QString(QChar(0xDC00)) + QLatin1Char('x'));
    QVERIFY(lone->hasFailure());
}

int main(int argc, char** argv)
{
    // As the program does: before anything decodes a name, here one decoded before the
    // application object set the locale up (ICU's way to the codec of the "C" locale reads the
    // most of its tables).
    BL::Platform::useUtf8ForLocale();
    g_earlyName = QFile::decodeName("/tmp/Gr\xC3\xB6\xC3\x9F"
                                    "e");
    QCoreApplication app(argc, argv);
    TestUtf8Codec test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_utf8codec.moc"
