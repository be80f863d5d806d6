#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>
#include <optional>

class QMenu;
class QMovie;
class QTemporaryFile;

namespace BL::Platform {
class CAbstractSoundEffects;
}

namespace BL::App {

// Everything the person sees and hears of the program at rest: the tray icon with its two
// animations, the two sounds and every balloon. The flows only say what happened.
class CTrayPresenter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTrayPresenter)

public:
    // `title` heads every balloon. The icon is not shown until show().
    CTrayPresenter(const QString& title, const QIcon& standardIcon, QObject* parent);
    ~CTrayPresenter() override;

    // The start-up check for a notification area, XEmbed or StatusNotifier alike. A session
    // that has just begun may start us before its panel, so a tray gets a few seconds to appear.
    static bool systemTrayAvailable();

    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    void show(QMenu* menu);

    // Looks for a sound server and an audio output once; without them no sound is ever played in
    // this run, and the audio back end is never loaded.
    bool initSounds();
    bool audioAvailable() const { return m_audioAvailable; }
    void setSoundEnabled(bool enabled) { m_soundEnabled = enabled; }
    void playCamSound();
    void playUploadedSound();

    // Icon rules of an upload. Busy: the uploading animation, not restarted when already
    // running. Done: the uploaded animation for 5 s, then the standard icon. Failed: a Critical
    // balloon, both animations stopped, the standard icon.
    void beginBusy();
    void startUploadingAnimation();
    void stopUploadedAnimation();
    void markDone();
    void markFailed(const QString& errorDesc, int ms);
    void setStandardIcon();
    // While held, changes of the tray icon wait and the last one is shown at release. Held while
    // an overlay covers the screen: the tray under it cannot be seen, and each animation frame
    // repaints the embedded icon, waiting on the X server while the overlay's frames go out.
    // Only an icon that is a window of ours (XEmbed) is held.
    void holdIcon(bool held);
    // For idle moments: drops the animations' decoded frames, or, while one is running, as soon
    // as both have stopped (the idle moment comes 3 s after a shot, within the 5 s of the
    // uploaded animation). A new animation before then keeps them.
    void releaseAnimations();

    // Every balloon goes through here, so that it also reaches the debug log.
    void showBalloon(const QString& text, QSystemTrayIcon::MessageIcon icon, int ms);
    // Takes down a balloon still up from an earlier message, where it is a window of ours (an
    // XEmbed tray; a panel's notifications are the desktop's).
    void hideBalloon();
    // Paints now a change of the icon still waiting for its paint, where the icon is a window of
    // ours. Qt paints a changed window once everything else is done: a change made just before
    // the overlay opens was painted after the overlay's first frame, inside the opening, waiting
    // on the window system busy with that frame.
    void paintPendingIcon();

private:
    void createAnimations();
    static bool iconIsOurWindow();
    void setIcon(const QIcon& icon);
    void onUploadingMovieFrameChanged();
    void onUploadedMovieFrameChanged();

    const QString m_title;
    const QIcon m_standardIcon;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QMovie* m_uploadingMovie = nullptr;
    QMovie* m_uploadedMovie = nullptr;
    bool m_releaseWhenStill = false;
    bool m_iconHeld = false;
    std::optional<QIcon> m_heldIcon;
    bool m_audioAvailable = false;
    bool m_soundEnabled = true;
    std::unique_ptr<QTemporaryFile> m_shutterSoundFile;
    std::unique_ptr<QTemporaryFile> m_uploadedSoundFile;
    BL::Platform::CAbstractSoundEffects* m_soundEffects = nullptr; // the module's, for the run
    QObject* m_shutterSound = nullptr;
    QObject* m_uploadedSound = nullptr;
};

} // namespace BL::App
