#pragma once

#include <QObject>
#include <QString>
#include <QtPlugin>

namespace BL::Platform {

// The audio back end of the sound effects. It lives in a module of its own, brightloom-sounds,
// loaded only when there is something to play through: a session without a sound server never
// maps the multimedia libraries, the sound server's client and their codecs (some 2 MiB).
class CAbstractSoundEffects
{
public:
    virtual ~CAbstractSoundEffects() = default;
    // Whether any audio output device is there. Asks the audio back ends: once per run.
    virtual bool audioOutputAvailable() = 0;
    // A sound that plays the WAV file `path`, owned by `parent`.
    virtual QObject* createSound(const QString& path, QObject* parent) = 0;
    virtual void play(QObject* sound) = 0;
};

// Loads the module from beside the program (the build tree, Windows) or from the program's
// library directory (an installed program). Returns nullptr, with the reason in `why`, when it
// cannot be loaded. The module stays loaded for the rest of the run.
CAbstractSoundEffects* loadSoundEffects(QString* why);

} // namespace BL::Platform

#define BL_SOUND_EFFECTS_IID "org.brightloom.SoundEffects/1"
Q_DECLARE_INTERFACE(BL::Platform::CAbstractSoundEffects, BL_SOUND_EFFECTS_IID)
