#include "capture/textrecognizer.h"

#include "capture/logging.h"
#include "capture/textengine.h"
#include "capture/textlanguages.h"
#include "platform/processtuning.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QtConcurrent>
#include <atomic>

namespace BL::Capture {

struct STextEngine
{
    CAbstractTextEngine* engine = nullptr; // owned by the loaded module
    QString startedKey;                    // data directory and languages it was started with
    std::atomic<bool> loaded{false};
};

namespace {

// Loads the module and starts the engine for `languages`, unless that is done already.
bool ensureEngine(STextEngine& state, const QString& dir, const QString& languages,
                  const STextPreparation& steps)
{
    const QString key = dir + QLatin1Char('\n') + languages;
    if (state.engine && state.startedKey == key)
        return true;
    if (!state.engine) {
        QString why;
        state.engine = loadTextEngine(&why);
        if (!state.engine) {
            qCWarning(lcCapture).noquote() << "no text engine:" << why;
            return false;
        }
        state.loaded = true;
    }
    state.startedKey.clear();
    // Light-on-dark text is turned around before the engine sees it; its own second pass over
    // every doubtful line, inverted, would only cost time.
    if (!state.engine->start(QFile::encodeName(dir), languages.toUtf8(), !steps.invertLightOnDark)) {
        qCWarning(lcCapture) << "the text engine could not load" << languages << "from" << dir;
        return false;
    }
    state.startedKey = key;
    return true;
}

QString tidy(const QByteArray& utf8)
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
    watcher->setFuture(QtConcurrent::run(&m_worker, [state = m_engine, picture, devicePixelRatio, logicalDpi,
                                                     steps = m_steps, dir = m_dataDir, usable] {
        QElapsedTimer clock;
        clock.start();
        STextResult result;
        const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
        if (grey.isNull() || isOneColour(grey)) {
            result.outcome = STextResult::EOutcome::OneColour;
        } else if (usable.isEmpty() || !ensureEngine(*state, dir, usable.join(QLatin1Char('+')), steps)) {
            result.outcome = STextResult::EOutcome::NoLanguageData;
        } else {
            const SPreparedText prepared = prepareText(grey, devicePixelRatio, logicalDpi, steps);
            result.text = tidy(state->engine->read(prepared.grey.constBits(), prepared.grey.width(),
                                                   prepared.grey.height(), int(prepared.grey.bytesPerLine()),
                                                   prepared.dotsPerInch));
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
    watcher->setFuture(QtConcurrent::run(&m_worker, [state = m_engine] {
        if (!state->engine)
            return;
        state->engine->stop();
        state->engine = nullptr;
        state->startedKey.clear();
        // The module's libraries go too: their pages and the engine's static tables.
        unloadTextEngine();
        state->loaded = false;
        BL::Platform::releaseFreeMemory();
        qCDebug(lcCapture) << "text engine released after the idle spell";
    }));
}

} // namespace BL::Capture
