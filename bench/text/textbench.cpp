// Text recognition over a corpus of screen-like text rendered here with Debian's DejaVu fonts:
// character error rate (edit distance / length) per group and overall for the shipped
// preparation and for each step left out or changed, the latency of an 800 x 200 area, and the
// resident memory before, after a recognition and after the engine's idle release. Prints
// figures; asserts nothing.
#include "capture/textrecognizer.h"
#include "platform/processtuning.h"
#include "textcorpus.h"
#include "textsample.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMap>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <vector>

using BL::Bench::STextSample;
using BL::Capture::CTextRecognizer;
using BL::Capture::STextPreparation;
using BL::Capture::STextResult;
using BL::Test::editDistance;

namespace {

double statusMiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

double residentMiB()
{
    return statusMiB("VmRSS:");
}

// Resident KiB per mapped file (anonymous mappings under their kind), for --maps.
QMap<QString, int> residentByMapping()
{
    QMap<QString, int> resident;
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    if (!smaps.open(QIODevice::ReadOnly))
        return resident;
    QString name;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.isEmpty())
            continue;
        if (fields.at(0).contains('-') && !fields.at(0).endsWith(':'))
            name = fields.size() >= 6 ? QString::fromLocal8Bit(fields.at(5)) : QStringLiteral("[anonymous]");
        else if (fields.at(0) == "Rss:")
            resident[name] += fields.value(1).toInt();
    }
    return resident;
}

void printGrownMappings(const QMap<QString, int>& before)
{
    const QMap<QString, int> now = residentByMapping();
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const int grown = it.value() - before.value(it.key());
        if (grown >= 64)
            std::printf("    %+6d KiB  %s\n", grown, qPrintable(it.key()));
    }
}

// Resident memory split into heap and other private pages / pages of mapped files (the libraries).
QByteArray residentParts()
{
    const struct mallinfo2 heap = mallinfo2();
    return QStringLiteral("(anonymous %1, files %2; heap in use %3, free %4)")
        .arg(statusMiB("RssAnon:"), 0, 'f', 1)
        .arg(statusMiB("RssFile:"), 0, 'f', 1)
        .arg(double(heap.uordblks) / 1048576.0, 0, 'f', 1)
        .arg(double(heap.fordblks) / 1048576.0, 0, 'f', 1)
        .toLatin1();
}

STextResult recognizeNow(CTextRecognizer& recognizer, const STextSample& sample)
{
    STextResult result;
    QEventLoop loop;
    const auto connection =
        QObject::connect(&recognizer, &CTextRecognizer::finished, &loop, [&](const STextResult& r) {
            result = r;
            loop.quit();
        });
    recognizer.recognize(sample.picture, sample.scale, 96.0);
    loop.exec();
    QObject::disconnect(connection);
    return result;
}

struct STally
{
    qint64 errors = 0;
    qint64 length = 0;
    void add(int e, int l)
    {
        errors += e;
        length += l;
    }
    double rate() const { return length ? 100.0 * double(errors) / double(length) : 0.0; }
};

struct SVariant
{
    const char* name;
    STextPreparation steps;
};

std::vector<SVariant> variants()
{
    using EScaling = STextPreparation::EScaling;
    std::vector<SVariant> all;
    all.push_back({"shipped (cubic x2, invert)", STextPreparation()});
    STextPreparation v;
    v.scaling = EScaling::None;
    all.push_back({"no scaling", v});
    v = STextPreparation();
    v.scaling = EScaling::Bilinear;
    all.push_back({"bilinear instead of cubic", v});
    v = STextPreparation();
    v.scaleAt100 = 3.0;
    all.push_back({"cubic x3", v});
    v = STextPreparation();
    v.scaleAt100 = 4.0;
    all.push_back({"cubic x4", v});
    v = STextPreparation();
    v.invertLightOnDark = false;
    all.push_back({"no inversion (engine's own)", v});
    v = STextPreparation();
    v.passResolution = true;
    all.push_back({"screen resolution passed", v});
    return all;
}

void measureMemoryAndLatency(int runs, int idleMs, int settleMs, bool maps)
{
    const STextSample probe = BL::Bench::makeLatencySample();
    CTextRecognizer recognizer(nullptr);
    recognizer.setIdleRelease(idleMs);
    // What the idle release gives back is what the engine took, not the start-up's leftovers.
    BL::Platform::releaseFreeMemory();
    const double before = residentMiB();
    const QByteArray beforeParts = residentParts();
    const QMap<QString, int> beforeMappings = residentByMapping();

    QElapsedTimer clock;
    clock.start();
    const STextResult first = recognizeNow(recognizer, probe);
    const double cold = double(clock.nsecsElapsed()) / 1e6;
    std::vector<double> warm;
    for (int i = 0; i < runs; ++i) {
        clock.restart();
        recognizeNow(recognizer, probe);
        warm.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    const double after = residentMiB();
    const QByteArray afterParts = residentParts();
    std::sort(warm.begin(), warm.end());
    const QString expected = probe.lines.join(QLatin1Char('\n'));
    std::printf("latency, 800x200 dialog text at 100 %% (recognize() to finished, %d warm runs):\n", runs);
    std::printf("  first (engine loaded)  %7.1f ms\n", cold);
    std::printf(
        "  warm min / median / max  %.1f / %.1f / %.1f ms   (target <= 300 ms release to clipboard)\n",
        warm.front(), warm[warm.size() / 2], warm.back());
    std::printf("  its error rate  %.2f %%\n",
                100.0 * editDistance(first.text.split('\n', Qt::SkipEmptyParts).join('\n'), expected) /
                    double(expected.size()));

    QEventLoop loop;
    QObject::connect(&recognizer, &CTextRecognizer::released, &loop, &QEventLoop::quit);
    clock.restart();
    loop.exec();
    const double released = residentMiB();
    std::printf(
        "resident memory (MiB):\n  before %.1f %s\n  after recognition %.1f %s\n  after the idle release "
        "(%d ms, seen after %.0f ms) %.1f %s\n  difference to before %+.1f   (target within 2 MiB)\n",
        before, beforeParts.constData(), after, afterParts.constData(), idleMs, double(clock.elapsed()),
        released, residentParts().constData(), released - before);
    if (settleMs > 0) {
        // The pool's thread ends after its own idle time, and its stack with it.
        QTimer::singleShot(settleMs, &loop, &QEventLoop::quit);
        loop.exec();
        const double settled = residentMiB();
        std::printf("  %d s after the recognition %.1f %s   difference to before %+.1f\n", settleMs / 1000,
                    settled, residentParts().constData(), settled - before);
    }
    if (maps)
        printGrownMappings(beforeMappings);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("BL_TEXT_MODULE_DIR"))
        qputenv("BL_TEXT_MODULE_DIR", BL_TEXT_MODULE_BUILD_DIR);
    BL::Platform::tuneProcessBeforeGui();
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Text recognition over a rendered screen-text corpus."));
    parser.addHelpOption();
    const QCommandLineOption runs(QStringLiteral("runs"), QStringLiteral("Warm latency runs."),
                                  QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption idle(QStringLiteral("idle-ms"), QStringLiteral("Idle spell before the release."),
                                  QStringLiteral("MS"), QString::number(CTextRecognizer::kIdleReleaseMs));
    const QCommandLineOption shippedOnly(QStringLiteral("shipped-only"),
                                         QStringLiteral("Only the shipped preparation, no comparisons."));
    const QCommandLineOption only(
        QStringLiteral("only"),
        QStringLiteral("The shipped preparation and the variants whose name holds TEXT."),
        QStringLiteral("TEXT"));
    const QCommandLineOption dump(QStringLiteral("dump"), QStringLiteral("Print each misread sample."));
    const QCommandLineOption save(QStringLiteral("save"),
                                  QStringLiteral("Write the prepared pictures of badly read samples here."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption noCorpus(QStringLiteral("no-corpus"),
                                      QStringLiteral("Latency and memory only."));
    const QCommandLineOption settle(
        QStringLiteral("settle-ms"),
        QStringLiteral("Resident memory again this long after the last recognition."), QStringLiteral("MS"),
        QStringLiteral("60000"));
    const QCommandLineOption maps(QStringLiteral("maps"),
                                  QStringLiteral("List what grew since before the recognition."));
    parser.addOptions({runs, idle, settle, shippedOnly, only, dump, save, noCorpus, maps});
    parser.process(app);

    measureMemoryAndLatency(parser.value(runs).toInt(), parser.value(idle).toInt(),
                            parser.value(settle).toInt(), parser.isSet(maps));
    if (parser.isSet(noCorpus))
        return 0;

    const std::vector<STextSample> corpus = BL::Bench::makeTextCorpus({9, 10, 11, 12, 14}, {1.0, 2.0});
    std::printf("corpus: %zu samples (6 groups; DejaVu Sans, Serif, Sans Mono; 9-14 pt; light and dark; "
                "100 %% and 200 %%)\n",
                corpus.size());
    std::vector<SVariant> all = variants();
    if (parser.isSet(shippedOnly))
        all.resize(1);
    if (parser.isSet(only))
        all.erase(std::remove_if(all.begin() + 1, all.end(),
                                 [&](const SVariant& v) {
                                     return !QString::fromLatin1(v.name).contains(parser.value(only));
                                 }),
                  all.end());
    for (const SVariant& variant : all) {
        CTextRecognizer recognizer(nullptr);
        recognizer.setPreparation(variant.steps);
        QMap<QString, STally> byGroup;
        STally overall;
        STally smallUi; // dialog and menu text at 9-10 pt, 100 %: the hardest
        double seconds = 0;
        double darkSeconds = 0;
        for (const STextSample& sample : corpus) {
            const STextResult result = recognizeNow(recognizer, sample);
            seconds += double(result.microseconds) / 1e6;
            if (sample.dark)
                darkSeconds += double(result.microseconds) / 1e6;
            const QString expected = sample.lines.join(QLatin1Char('\n'));
            const QString read =
                result.text.split(QLatin1Char('\n'), Qt::SkipEmptyParts).join(QLatin1Char('\n'));
            const int errors = editDistance(read, expected);
            byGroup[sample.group].add(errors, int(expected.size()));
            byGroup[sample.scale > 1 ? QStringLiteral("@200%") : QStringLiteral("@100%")].add(
                errors, int(expected.size()));
            byGroup[sample.dark ? QStringLiteral("~dark") : QStringLiteral("~light")].add(
                errors, int(expected.size()));
            overall.add(errors, int(expected.size()));
            if (sample.points <= 10 && sample.scale == 1.0 &&
                (sample.group == QLatin1String("dialog") || sample.group == QLatin1String("menu")))
                smallUi.add(errors, int(expected.size()));
            if (parser.isSet(save) && errors * 10 > expected.size())
                BL::Capture::prepareText(sample.picture, sample.scale, 96.0, variant.steps)
                    .grey.save(QStringLiteral("%1/%2-%3-%4pt-%5-%6.png")
                                   .arg(parser.value(save), sample.group, QString(sample.family).remove(' '))
                                   .arg(sample.points)
                                   .arg(sample.scale > 1 ? "200" : "100", sample.dark ? "dark" : "light"));
            if (parser.isSet(dump) && errors > 0)
                std::printf("  [%s %s %dpt %s %s] %d errors\n    want: %s\n    read: %s\n",
                            qPrintable(sample.group), qPrintable(sample.family), sample.points,
                            sample.scale > 1 ? "200%" : "100%", sample.dark ? "dark" : "light", errors,
                            qPrintable(QString(expected).replace('\n', " | ")),
                            qPrintable(QString(read).replace('\n', " | ")));
        }
        std::printf(
            "\n%s: overall CER %.2f %%   small UI text at 100 %% %.2f %%   engine time %.1f s (%.0f ms "
            "a sample; dark ones %.0f ms, light ones %.0f ms)\n ",
            variant.name, overall.rate(), smallUi.rate(), seconds, 1000.0 * seconds / double(corpus.size()),
            2000.0 * darkSeconds / double(corpus.size()),
            2000.0 * (seconds - darkSeconds) / double(corpus.size()));
        for (auto it = byGroup.cbegin(); it != byGroup.cend(); ++it)
            std::printf(" %s %.2f %%", qPrintable(it.key()), it.value().rate());
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
