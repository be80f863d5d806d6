// The sound effects of the real program: played through a sound server when one answers, and
// without one the audio libraries are never loaded at all.
#include "x11session.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {
constexpr int kXTimeoutMs = 10000;

// The shared objects mapped into process `pid`.
QString mappedFiles(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    return maps.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(maps.readAll()) : QString();
}
} // namespace

class TestSounds : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void shutterPlaysThroughSoundServer();
    void noSoundServerLoadsNoAudioLibraries();

private:
    // Starts the program of the private user; after the help screens, sounds on.
    bool startProgram(const QProcessEnvironment& env);

    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
    QProcess m_soundServer;
};

void TestSounds::init()
{
    m_user = std::make_unique<QTemporaryDir>();
    QVERIFY(m_user->isValid());
}

void TestSounds::cleanup()
{
    m_program.reset();
    if (m_soundServer.state() != QProcess::NotRunning) {
        m_soundServer.terminate();
        if (!m_soundServer.waitForFinished(5000))
            m_soundServer.kill();
        m_soundServer.waitForFinished(2000);
    }
    m_user.reset();
}

bool TestSounds::startProgram(const QProcessEnvironment& env)
{
    QDir().mkpath(m_user->path() + QStringLiteral("/home/brightloom_screens"));
    m_program = startDockedProgram(
        m_user->path(), env, {{"show_pre_help", true}, {"show_paste_help", true}, {"sound_enabled", true}});
    return m_program != nullptr;
}

void TestSounds::shutterPlaysThroughSoundServer()
{
    const QString pulseaudio = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    const QString pactl = QStandardPaths::findExecutable(QStringLiteral("pactl"));
    QVERIFY2(!pulseaudio.isEmpty() && !pactl.isEmpty(),
             "pulseaudio and pactl are needed (scripts/setup-deps.sh)");
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.remove(QStringLiteral("PULSE_RUNTIME_PATH"));
    // A sound server of the private user's own, with an output that plays into nothing.
    m_soundServer.setProcessEnvironment(env);
    m_soundServer.setProcessChannelMode(QProcess::MergedChannels);
    m_soundServer.start(pulseaudio, {"--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                                     "--disallow-exit", "--load=module-null-sink sink_name=silence",
                                     "--load=module-native-protocol-unix"});
    QVERIFY(m_soundServer.waitForStarted());
    // Its socket exists a moment before it takes connections.
    auto serverAnswers = [&] {
        QProcess info;
        info.setProcessEnvironment(env);
        info.start(pactl, {"info"});
        return info.waitForFinished(5000) && info.exitStatus() == QProcess::NormalExit &&
               info.exitCode() == 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(serverAnswers(), kXTimeoutMs);

    // Every stream the server opens from now on.
    QProcess events;
    events.setProcessEnvironment(env);
    events.start(pactl, {"subscribe"});
    QVERIFY(events.waitForStarted());

    QByteArray seen;
    auto eventsSeen = [&] { return seen += events.readAllStandardOutput(); };
    QVERIFY(startProgram(env));
    QTRY_VERIFY2_WITH_TIMEOUT(mappedFiles(m_program->pid()).contains(QLatin1String("brightloom-sounds")),
                              qPrintable(m_program->errorOutput()), kXTimeoutMs);
    QVERIFY2(!m_program->errorOutput().contains(QLatin1String("sounds are off")),
             qPrintable(m_program->errorOutput()));
    // Each sound gets a stream of its own as it is loaded, silent until it plays.
    QTRY_VERIFY_WITH_TIMEOUT(eventsSeen().count("'new' on sink-input") >= 2, kXTimeoutMs);
    QVERIFY(!eventsSeen().contains("'change' on sink #"));
    seen.clear();

    // A local shot plays the shutter as the area is taken: the output starts playing.
    xdotool({"key", "ctrl+alt+l"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({200, 150}, {259, 189});
    QTRY_VERIFY_WITH_TIMEOUT(eventsSeen().contains("'change' on sink #"), kXTimeoutMs);
    events.kill();
    events.waitForFinished();
}

void TestSounds::noSoundServerLoadsNoAudioLibraries()
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.remove(QStringLiteral("PULSE_RUNTIME_PATH"));
    QVERIFY(startProgram(env));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(QLatin1String("sounds are off: no sound server")), kXTimeoutMs);
    // Not mapped at start, nor by a shot that would have played the shutter.
    xdotool({"key", "ctrl+alt+l"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({200, 150}, {259, 189});
    QTRY_COMPARE_WITH_TIMEOUT(
        QDir(m_user->path() + QStringLiteral("/home/brightloom_screens")).entryList(QDir::Files).size(), 1,
        kXTimeoutMs);
    const QString maps = mappedFiles(m_program->pid());
    for (const char* library : {"brightloom-sounds", "libQt5Multimedia", "libpulse"})
        QVERIFY2(!maps.contains(QLatin1String(library)), library);
}

QTEST_GUILESS_MAIN(TestSounds)
#include "tst_sounds.moc"
