#include "app/traypresenter.h"

#include "app/logging.h"
#include "platform/soundeffects.h"
#include "platform/soundserver.h"
#include "platform/trayhost.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <QMovie>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <algorithm>

namespace BL::App {

namespace {
constexpr int kUploadedAnimationMs = 5000;
constexpr int kStandardIconResetMs = 5100;
// How long a tray may take to appear after the start, as at the beginning of a session.
constexpr int kTrayGraceMs = 10000;

// The windows Qt makes itself for an XEmbed tray (the icon, the balloon), of the Qt class
// `className`: Qt offers no call to reach or tell them.
QWidgetList qtTrayWindows(const char* className)
{
    QWidgetList found;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows)
        if (window->inherits(className))
            found << window;
    return found;
}
} // namespace

CTrayPresenter::CTrayPresenter(const QString& title, const QIcon& standardIcon, QObject* parent)
    : QObject(parent), m_title(title), m_standardIcon(standardIcon)
{
    createAnimations();

    m_trayIcon = new QSystemTrayIcon(this);
    m_trayIcon->setObjectName(QStringLiteral("trayIcon"));
    m_trayIcon->setIcon(m_standardIcon);
}

void CTrayPresenter::createAnimations()
{
    m_uploadingMovie = new QMovie(QStringLiteral(":cam-uploading.gif"), "GIF", this);
    m_uploadingMovie->setObjectName(QStringLiteral("uploadingMovie"));
    connect(m_uploadingMovie, &QMovie::frameChanged, this, &CTrayPresenter::onUploadingMovieFrameChanged);
    m_uploadedMovie = new QMovie(QStringLiteral(":cam-uploaded.gif"), "GIF", this);
    m_uploadedMovie->setObjectName(QStringLiteral("uploadedMovie"));
    connect(m_uploadedMovie, &QMovie::frameChanged, this, &CTrayPresenter::onUploadedMovieFrameChanged);
    // The tray scales each frame once into the pixmap cache, keyed by the frame. Decoded anew
    // on every loop, the frames were new pictures each time: shot after shot the cache filled
    // with copies, and the heap with holes between them. A few small frames are cheaper to keep
    // while shots follow each other; releaseAnimations() drops them once idle.
    m_uploadingMovie->setCacheMode(QMovie::CacheAll);
    m_uploadedMovie->setCacheMode(QMovie::CacheAll);
    for (QMovie* movie : {m_uploadingMovie, m_uploadedMovie})
        connect(movie, &QMovie::stateChanged, this, [this](QMovie::MovieState state) {
            // Not from inside the movie's own signal: the release deletes it.
            if (state == QMovie::NotRunning && m_releaseWhenStill)
                QMetaObject::invokeMethod(this, &CTrayPresenter::releaseAnimations, Qt::QueuedConnection);
        });
}

void CTrayPresenter::releaseAnimations()
{
    // The decoded frames and the decoder's buffers are more than the rest of the tray; a new
    // movie holds none until it is started.
    m_releaseWhenStill =
        m_uploadingMovie->state() != QMovie::NotRunning || m_uploadedMovie->state() != QMovie::NotRunning;
    if (m_releaseWhenStill)
        return;
    delete m_uploadingMovie;
    delete m_uploadedMovie;
    createAnimations();
}

bool CTrayPresenter::systemTrayAvailable()
{
    // Qt is asked only once a tray is there: it keeps its first answer about the D-Bus tray.
    const QDeadlineTimer deadline(kTrayGraceMs);
    if (!BL::Platform::trayHostPresent())
        qCDebug(lcApp) << "no tray host yet; waiting up to" << kTrayGraceMs << "ms for one";
    while (!BL::Platform::trayHostPresent() && !deadline.hasExpired())
        QThread::msleep(200);
    return QSystemTrayIcon::isSystemTrayAvailable();
}

CTrayPresenter::~CTrayPresenter()
{
    // The native copies of the sounds must not outlive the run.
    for (auto* file : {&m_shutterSoundFile, &m_uploadedSoundFile}) {
        if (*file) {
            (*file)->close();
            (*file)->remove();
        }
    }
}

void CTrayPresenter::show(QMenu* menu)
{
    m_trayIcon->setContextMenu(menu);
    m_trayIcon->setVisible(true);
}

bool CTrayPresenter::initSounds()
{
    // Without a sound server the audio back ends would each complain on standard error, at
    // start and at every sound; one line here says it all.
    QString why;
    if (!BL::Platform::soundServerReachable(&why)) {
        qCInfo(lcApp).noquote() << "sounds are off:" << why;
        return false;
    }
    m_soundEffects = BL::Platform::loadSoundEffects(&why);
    if (!m_soundEffects) {
        qCInfo(lcApp).noquote() << "sounds are off:" << why;
        return false;
    }
    m_audioAvailable = m_soundEffects->audioOutputAvailable();
    if (!m_audioAvailable) {
        qCDebug(lcApp) << "no audio output device; sounds are off for this run";
        return false;
    }
    // The sounds play files only, so each resource gets a native copy on disk.
    auto nativeSound = [this](const QString& resource, std::unique_ptr<QTemporaryFile>& file) -> QObject* {
        file.reset(QTemporaryFile::createNativeFile(resource));
        return file ? m_soundEffects->createSound(file->fileName(), this) : nullptr;
    };
    m_shutterSound = nativeSound(QStringLiteral(":Shutter-02.wav"), m_shutterSoundFile);
    m_uploadedSound = nativeSound(QStringLiteral(":SmallGlockA.wav"), m_uploadedSoundFile);
    return true;
}

void CTrayPresenter::playCamSound()
{
    if (m_audioAvailable && m_soundEnabled && m_shutterSound)
        m_soundEffects->play(m_shutterSound);
}

void CTrayPresenter::playUploadedSound()
{
    if (m_audioAvailable && m_soundEnabled && m_uploadedSound)
        m_soundEffects->play(m_uploadedSound);
}

void CTrayPresenter::beginBusy()
{
    m_releaseWhenStill = false;
    m_uploadedMovie->stop();
    // A second upload must not restart the animation that is already running.
    if (m_uploadingMovie->state() != QMovie::Running)
        m_uploadingMovie->start();
}

void CTrayPresenter::startUploadingAnimation()
{
    m_releaseWhenStill = false;
    m_uploadingMovie->start();
}

void CTrayPresenter::stopUploadedAnimation()
{
    m_uploadedMovie->stop();
}

void CTrayPresenter::markDone()
{
    setIcon(m_standardIcon);
    m_uploadingMovie->stop();
    m_uploadedMovie->start();
    // Precise timers: coarse ones (the default above 2 s) may swap these two,
    // and a frame after the reset would stay on the tray for good.
    QTimer::singleShot(kUploadedAnimationMs, Qt::PreciseTimer, m_uploadedMovie, &QMovie::stop);
    QTimer::singleShot(kStandardIconResetMs, Qt::PreciseTimer, this, &CTrayPresenter::setStandardIcon);
}

void CTrayPresenter::markFailed(const QString& errorDesc, int ms)
{
    showBalloon(errorDesc, QSystemTrayIcon::Critical, ms);
    m_uploadingMovie->stop();
    m_uploadedMovie->stop();
    setStandardIcon();
}

void CTrayPresenter::setStandardIcon()
{
    setIcon(m_standardIcon);
}

void CTrayPresenter::holdIcon(bool held)
{
    m_iconHeld = held && iconIsOurWindow();
    if (!held && m_heldIcon) {
        m_trayIcon->setIcon(*m_heldIcon);
        m_heldIcon.reset();
    }
}

bool CTrayPresenter::iconIsOurWindow()
{
    // A StatusNotifier item is drawn by the panel, which the overlay need not cover.
    return !qtTrayWindows("QSystemTrayIconSys").isEmpty();
}

void CTrayPresenter::setIcon(const QIcon& icon)
{
    if (m_iconHeld)
        m_heldIcon = icon;
    else
        m_trayIcon->setIcon(icon);
}

void CTrayPresenter::showBalloon(const QString& text, QSystemTrayIcon::MessageIcon icon, int ms)
{
    const char* kind = icon == QSystemTrayIcon::Critical  ? "Critical"
                       : icon == QSystemTrayIcon::Warning ? "Warning"
                                                          : "Information";
    qCDebug(lcApp).noquote() << "balloon" << kind << text;
    m_trayIcon->showMessage(m_title, text, icon, ms);
}

void CTrayPresenter::hideBalloon()
{
    // Qt draws the balloon itself for an XEmbed tray and offers no call to take it down early.
    // Deleted at once, not closed: a closed balloon deletes itself at the next pass of the event
    // loop, which came just after the overlay's first frame, and giving back its window then
    // waited for the server to take in that frame (some 4 ms of the opening). Kept hidden
    // instead, Qt would show it again whenever the tray icon moves.
    for (QWidget* balloon : qtTrayWindows("QBalloonTip"))
        if (balloon->isVisible())
            delete balloon;
}

void CTrayPresenter::onUploadingMovieFrameChanged()
{
    setIcon(QIcon(m_uploadingMovie->currentPixmap()));
}

void CTrayPresenter::paintPendingIcon()
{
    for (QWidget* icon : qtTrayWindows("QSystemTrayIconSys"))
        QCoreApplication::sendPostedEvents(icon, QEvent::UpdateRequest);
}

void CTrayPresenter::onUploadedMovieFrameChanged()
{
    setIcon(QIcon(m_uploadedMovie->currentPixmap()));
}

} // namespace BL::App
