// Text read back from pictures rendered here with Debian's DejaVu fonts, as a screen shows them:
// light and dark themes, 100 % and 200 %; the areas that must be refused; the engine given back
// after its idle spell; the languages found in a data directory.
#include "capture/textlanguages.h"
#include "capture/textrecognizer.h"
#include "textsample.h"

#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>
#include <vector>

using BL::Capture::CTextRecognizer;
using BL::Capture::STextResult;
using BL::Test::editDistance;
using BL::Test::renderTextSample;
using EOutcome = BL::Capture::STextResult::EOutcome;

namespace {

STextResult read(CTextRecognizer& recognizer, const QImage& picture, double ratio = 1.0)
{
    QSignalSpy finished(&recognizer, &CTextRecognizer::finished);
    recognizer.recognize(picture, ratio, 96.0);
    if (!finished.wait(60000))
        return {};
    return finished.at(0).at(0).value<STextResult>();
}

} // namespace

class TestTextRecognition : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsScreenText_data();
    void readsScreenText();
    void refusesAreasWithoutText();
    void engineIsGivenBackWhenIdleAndComesBack();
    void languagesFromTheDataDirectory();
};

void TestTextRecognition::initTestCase()
{
    for (const char* family : {"DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono"})
        QCOMPARE(QFontInfo(QFont(QLatin1String(family))).family(), QLatin1String(family));
    QVERIFY2(BL::Capture::installedTextLanguages(BL::Capture::textDataDirectory()).contains("eng"),
             "tesseract-ocr-eng is needed");
}

void TestTextRecognition::readsScreenText_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("points");
    QTest::addColumn<double>("scale");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<double>("maxErrorRate");
    QTest::addColumn<QStringList>("lines");
    const QStringList message{QStringLiteral("The file could not be saved: disk full."),
                              QStringLiteral("Send the report to help@example.org, then retry."),
                              QStringLiteral("Version 4.12.7 (build 2031), 48 items left")};
    // Monospaced words line up in columns that the layout analysis takes for a page's columns.
    const QStringList aligned{QStringLiteral("An update is available. Restart now to install it?"),
                              QStringLiteral("Permission denied: you cannot write to this folder."),
                              QStringLiteral("Remember my choice for files of this type"),
                              QStringLiteral("The document could not be saved because the disk is full.")};
    // Large text must come back exactly, case and punctuation included.
    QTest::newRow("sans 14pt light 100%") << "DejaVu Sans" << 14 << 1.0 << false << 0.0 << message;
    QTest::newRow("sans 14pt dark 100%") << "DejaVu Sans" << 14 << 1.0 << true << 0.0 << message;
    QTest::newRow("serif 11pt light 200%") << "DejaVu Serif" << 11 << 2.0 << false << 0.02 << message;
    QTest::newRow("sans 9pt dark 100%") << "DejaVu Sans" << 9 << 1.0 << true << 0.04 << message;
    QTest::newRow("mono 10pt light 100%") << "DejaVu Sans Mono" << 10 << 1.0 << false << 0.04 << message;
    QTest::newRow("mono 10pt dark 100%, words in columns")
        << "DejaVu Sans Mono" << 10 << 1.0 << true << 0.04 << aligned;
}

void TestTextRecognition::readsScreenText()
{
    QFETCH(QString, family);
    QFETCH(int, points);
    QFETCH(double, scale);
    QFETCH(bool, dark);
    QFETCH(double, maxErrorRate);
    QFETCH(QStringList, lines);
    CTextRecognizer recognizer(nullptr);
    if (QByteArray(QTest::currentDataTag()).contains("columns")) {
        // Scaled by three, the engine's layout analysis splits these lines into two columns.
        BL::Capture::STextPreparation steps;
        steps.scaleAt100 = 3.0;
        recognizer.setPreparation(steps);
    }
    const STextResult result = read(recognizer, renderTextSample(lines, family, points, scale, dark), scale);
    QCOMPARE(result.outcome, EOutcome::Text);
    const QString expected = lines.join(QLatin1Char('\n'));
    const double rate = double(editDistance(result.text, expected)) / expected.size();
    QVERIFY2(rate <= maxErrorRate,
             qPrintable(QStringLiteral("error rate %1 for:\n%2").arg(rate).arg(result.text)));
}

void TestTextRecognition::refusesAreasWithoutText()
{
    CTextRecognizer recognizer(nullptr);
    QImage dot(1, 1, QImage::Format_RGB32);
    dot.fill(Qt::white);
    QCOMPARE(read(recognizer, dot).outcome, EOutcome::OneColour);
    QImage plain(640, 200, QImage::Format_RGB32);
    plain.fill(QColor(0x30, 0x60, 0x90));
    QCOMPARE(read(recognizer, plain).outcome, EOutcome::OneColour);
    // Neither is worth the engine's tens of megabytes.
    QVERIFY(!recognizer.isEngineLoaded());

    QImage tall(16, BL::Capture::kMaxTextSide + 1, QImage::Format_RGB32);
    tall.fill(Qt::white);
    QCOMPARE(read(recognizer, tall).outcome, EOutcome::TooLarge);
    QImage blank(400, 120, QImage::Format_RGB32);
    blank.fill(Qt::white);
    // Some faint noise, so that it is not one colour: the engine runs and finds no words.
    QPainter(&blank).fillRect(QRect(10, 10, 3, 3), QColor(0xe0, 0xe0, 0xe0));
    QCOMPARE(read(recognizer, blank).outcome, EOutcome::Nothing);

    // No language data: nothing is loaded, whatever the languages asked for.
    QTemporaryDir empty;
    recognizer.setDataDirectory(empty.path());
    const QImage text =
        renderTextSample({QStringLiteral("Nothing to read it with")}, "DejaVu Sans", 14, 1.0, false);
    QCOMPARE(read(recognizer, text).outcome, EOutcome::NoLanguageData);
    recognizer.setDataDirectory(BL::Capture::textDataDirectory());
    recognizer.setLanguages({QStringLiteral("xyz")});
    QCOMPARE(read(recognizer, text).outcome, EOutcome::NoLanguageData);
}

void TestTextRecognition::engineIsGivenBackWhenIdleAndComesBack()
{
    CTextRecognizer recognizer(nullptr);
    recognizer.setIdleRelease(100);
    QSignalSpy released(&recognizer, &CTextRecognizer::released);
    const QImage text =
        renderTextSample({QStringLiteral("Loaded on first use")}, "DejaVu Sans", 14, 1.0, false);
    QCOMPARE(read(recognizer, text).text, QStringLiteral("Loaded on first use"));
    QVERIFY(recognizer.isEngineLoaded());
    QVERIFY(released.wait(10000));
    QVERIFY(!recognizer.isEngineLoaded());
    // Loaded again for the next one.
    QCOMPARE(read(recognizer, text).text, QStringLiteral("Loaded on first use"));
    QVERIFY(recognizer.isEngineLoaded());
}

void TestTextRecognition::languagesFromTheDataDirectory()
{
    QTemporaryDir dir;
    for (const char* name : {"deu", "eng", "osd", "fra", "chi_tra"}) {
        QFile file(dir.filePath(QLatin1String(name) + ".traineddata"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    QFile(dir.filePath("empty.traineddata")).open(QIODevice::WriteOnly);
    const QStringList installed = BL::Capture::installedTextLanguages(dir.path());
    QCOMPARE(installed, QStringList({"chi_tra", "deu", "eng", "fra"}));
    using BL::Capture::defaultTextLanguages;
    QCOMPARE(defaultTextLanguages(installed, {"de-DE", "en-US"}), QStringList({"eng", "deu"}));
    QCOMPARE(defaultTextLanguages(installed, {"pt_BR"}), QStringList({"eng"}));
    QCOMPARE(defaultTextLanguages(installed, {"zh-TW", "fr"}), QStringList({"eng", "chi_tra", "fra"}));
    QCOMPARE(defaultTextLanguages({"deu"}, {"de_AT"}), QStringList({"deu"}));
}

QTEST_MAIN(TestTextRecognition)
#include "tst_textrecognition.moc"
