// The brightloom-sounds module: the sound effects played through Qt Multimedia.
#include "platform/soundeffects.h"

#include <QAudioDeviceInfo>
#include <QSound>
#include <algorithm>

namespace BL::Platform {

class CQtSoundEffects : public QObject, public CAbstractSoundEffects
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID BL_SOUND_EFFECTS_IID)
    Q_INTERFACES(BL::Platform::CAbstractSoundEffects)

public:
    bool audioOutputAvailable() override
    {
        const auto devices = QAudioDeviceInfo::availableDevices(QAudio::AudioOutput);
        // Backends list a nameless placeholder even when no device exists at all.
        return std::any_of(devices.cbegin(), devices.cend(),
                           [](const QAudioDeviceInfo& d) { return !d.deviceName().isEmpty(); });
    }

    QObject* createSound(const QString& path, QObject* parent) override { return new QSound(path, parent); }

    void play(QObject* sound) override
    {
        if (auto* qsound = qobject_cast<QSound*>(sound))
            qsound->play();
    }
};

} // namespace BL::Platform

#include "soundeffects_qtmultimedia.moc"
