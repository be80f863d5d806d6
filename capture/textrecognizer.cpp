#include "capture/textrecognizer.h"

#include "capture/logging.h"
#include "capture/textlanguages.h"
#include "platform/processtuning.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QtConcurrent>
#include <atomic>
#include <tesseract/baseapi.h>

namespace BL::Capture {

struct STextEngine
{
    std::unique_ptr<tesseract::TessBaseAPI> api;
    QString loadedKey; // data directory and languages the engine was started with
    std::atomic<bool> loaded{false};
};

namespace {

// Loads the engine for `languages` unless it is already loaded for them. False when it cannot be.
bool ensureEngine(STextEngine& engine, const QString& dir, const QString& languages,
                  const STextPreparation& steps)
{
    const QString key = dir + QLatin1Char('\n') + languages;
    if (engine.api && engine.loadedKey == key)
        return true;
    engine.api.reset();
    engine.loaded = false;
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    // Its warnings ("empty page", guessed resolutions) say nothing the person can act on.
    api->SetVariable("debug_file", "/dev/null");
    if (api->Init(QFile::encodeName(dir).constData(), languages.toUtf8().constData(),
                  tesseract::OEM_LSTM_ONLY) != 0) {
        qCWarning(lcCapture) << "the text engine could not load" << languages << "from" << dir;
        return false;
    }
    api->SetPageSegMode(tesseract::PSM_AUTO);
    // Light-on-dark text is turned around before the engine sees it; its own second pass over
    // every doubtful line, inverted, would only cost time.
    if (steps.invertLightOnDark)
        api->SetVariable("tessedit_do_invert", "0");
    engine.api = std::move(api);
    engine.loadedKey = key;
    engine.loaded = true;
    return true;
}

QString tidy(const char* utf8)
{
    // Lines as read, paragraphs apart by one empty line; no trailing blanks or form feeds.
    QString text = QString::fromUtf8(utf8);
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        line.remove(QChar(0x0c));
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
    }
    text = lines.join(QLatin1Char('\n'));
    while (text.contains(QLatin1String("\n\n\n")))
        text.replace(QLatin1String("\n\n\n"), QLatin1String("\n\n"));
    return text.trimmed();
}

} // namespace

CTextRecognizer::CTextRecognizer(QObject* parent)
    : QObject(parent), m_engine(std::make_shared<STextEngine>()), m_dataDir(textDataDirectory())
{
    qRegisterMetaType<BL::Capture::STextResult>();
    // One thread: the engine is used by one caller at a time and recognitions queue up in order.
    m_worker.setMaxThreadCount(1);
    m_idle.setSingleShot(true);
    m_idle.setInterval(kIdleReleaseMs);
    connect(&m_idle, &QTimer::timeout, this, &CTextRecognizer::release);
    m_languages = QStringList{QStringLiteral("eng")};
}

CTextRecognizer::~CTextRecognizer()
{
    m_worker.waitForDone();
}

bool CTextRecognizer::isEngineLoaded() const
{
    return m_engine->loaded;
}

void CTextRecognizer::recognize(const QImage& picture, double devicePixelRatio, double logicalDpi)
{
    m_idle.stop();
    auto* watcher = new QFutureWatcher<STextResult>(this);
    connect(watcher, &QFutureWatcher<STextResult>::finished, this, [this, watcher] {
        watcher->deleteLater();
        m_idle.start();
        emit finished(watcher->result());
    });
    if (picture.width() > kMaxTextSide || picture.height() > kMaxTextSide) {
        STextResult refused;
        refused.outcome = STextResult::EOutcome::TooLarge;
        // Still through the watcher, so that finished() never comes from inside this call.
        watcher->setFuture(QtConcurrent::run(&m_worker, [refused] { return refused; }));
        return;
    }
    const QStringList installed = installedTextLanguages(m_dataDir);
    QStringList usable;
    for (const QString& language : m_languages)
        if (installed.contains(language))
            usable << language;
    watcher->setFuture(QtConcurrent::run(&m_worker, [engine = m_engine, picture, devicePixelRatio, logicalDpi,
                                                     steps = m_steps, dir = m_dataDir, usable] {
        QElapsedTimer clock;
        clock.start();
        STextResult result;
        const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
        if (grey.isNull() || isOneColour(grey)) {
            result.outcome = STextResult::EOutcome::OneColour;
        } else if (usable.isEmpty() || !ensureEngine(*engine, dir, usable.join(QLatin1Char('+')), steps)) {
            result.outcome = STextResult::EOutcome::NoLanguageData;
        } else {
            const SPreparedText prepared = prepareText(grey, devicePixelRatio, logicalDpi, steps);
            engine->api->SetImage(prepared.grey.constBits(), prepared.grey.width(), prepared.grey.height(), 1,
                                  int(prepared.grey.bytesPerLine()));
            if (prepared.dotsPerInch > 0)
                engine->api->SetSourceResolution(prepared.dotsPerInch);
            const std::unique_ptr<char[]> text(engine->api->GetUTF8Text());
            engine->api->Clear();
            result.text = text ? tidy(text.get()) : QString();
            result.outcome =
                result.text.isEmpty() ? STextResult::EOutcome::Nothing : STextResult::EOutcome::Text;
        }
        result.microseconds = clock.nsecsElapsed() / 1000;
        return result;
    }));
}

void CTextRecognizer::release()
{
    auto* watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcher<void>::finished, this, [this, watcher] {
        watcher->deleteLater();
        emit released();
    });
    watcher->setFuture(QtConcurrent::run(&m_worker, [engine = m_engine] {
        if (!engine->api)
            return;
        engine->api->End();
        engine->api.reset();
        engine->loadedKey.clear();
        engine->loaded = false;
        BL::Platform::releaseFreeMemory();
        qCDebug(lcCapture) << "text engine released after the idle spell";
    }));
}

} // namespace BL::Capture
