#pragma once

#include "capture/textpreparation.h"

#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <memory>

namespace BL::Capture {

struct STextResult
{
    enum class EOutcome {
        Text,           // `text` holds what was read
        Nothing,        // the engine found no words
        OneColour,      // the area holds no drawing at all
        TooLarge,       // refused before any work: wider or taller than kMaxTextSide
        NoLanguageData, // none of the chosen languages has data installed
    };
    EOutcome outcome = EOutcome::Nothing;
    QString text;
    qint64 microseconds = 0; // preparation and recognition on the worker
};

inline constexpr int kMaxTextSide = 8192;

struct STextEngine; // the loaded engine, in textrecognizer.cpp

// Reads the text of screen pictures with the Tesseract engine on a worker thread of its own.
// The engine is loaded at the first recognition and given back after an idle spell, as the
// encoder's buffers are: it holds tens of megabytes that a tray program should not keep for
// the odd text shot. Each recognize() ends in one finished(), on the owner's thread.
class CTextRecognizer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTextRecognizer)

public:
    static constexpr int kIdleReleaseMs = 3000;

    explicit CTextRecognizer(QObject* parent);
    ~CTextRecognizer() override;

    void setDataDirectory(const QString& dir) { m_dataDir = dir; }
    QString dataDirectory() const { return m_dataDir; }
    // Languages by their data name ("eng", "deu"); those without data are left out when read.
    void setLanguages(const QStringList& languages) { m_languages = languages; }
    QStringList languages() const { return m_languages; }
    void setPreparation(const STextPreparation& steps) { m_steps = steps; }
    void setIdleRelease(int milliseconds) { m_idle.setInterval(milliseconds); }

    // `devicePixelRatio` and `logicalDpi` of the screen the picture was taken from.
    void recognize(const QImage& picture, double devicePixelRatio, double logicalDpi);
    bool isEngineLoaded() const;

signals:
    void finished(const BL::Capture::STextResult& result);
    // The engine was given back after the idle spell.
    void released();

private:
    void release();

    std::shared_ptr<STextEngine> m_engine; // touched only on m_worker's one thread
    QThreadPool m_worker;
    QTimer m_idle;
    QString m_dataDir;
    QStringList m_languages;
    STextPreparation m_steps;
};

} // namespace BL::Capture

Q_DECLARE_METATYPE(BL::Capture::STextResult)
