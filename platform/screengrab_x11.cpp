#include "platform/largeimage.h"
#include "platform/logging.h"
#include "platform/x11backends.h"

#include <QFuture>
#include <QX11Info>
#include <QtConcurrent>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <cstring>
#include <memory>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <utility>

// X11: the image travels through shared memory instead of the socket, which
// makes a full-screen grab several times faster than a plain GetImage. The
// segment is kept for the next grab until the program goes idle. Where shared
// memory is not to be had (a remote display), the plain GetImage does the job,
// so that grabs keep working in root coordinates whatever the screens' scaling.
namespace BL::Platform {

namespace {

// Only the common depth-24 true-colour layout is read here; others go to the generic path.
bool hasPlainVisual(Display* dpy)
{
    const Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
    return DefaultDepth(dpy, DefaultScreen(dpy)) == 24 && visual->red_mask == 0xff0000 &&
           visual->blue_mask == 0xff;
}

// Below this a picture's fresh pages cost less than keeping the spare for the next grab.
constexpr qsizetype kSpareWorthBytes = 256 * 1024;

// An RGB32 picture of `size`, written into `spare` when it is large enough, so that memory made
// ready before is used instead of fresh pages. The picture keeps the spare's memory alive.
QImage pictureIn(QImage spare, const QSize& size)
{
    const qsizetype bytesPerLine = qsizetype(size.width()) * 4;
    const qsizetype bytes = bytesPerLine * size.height();
    if (spare.isNull() || spare.sizeInBytes() < bytes)
        return bytes >= kSpareWorthBytes ? largeImage(size) : QImage(size, QImage::Format_RGB32);
    auto* owner = new QImage(std::move(spare));
    return QImage(
        owner->bits(), size.width(), size.height(), bytesPerLine, QImage::Format_RGB32,
        [](void* image) { delete static_cast<QImage*>(image); }, owner);
}

// A picture of its own from the pixels the server wrote. The server leaves the fourth byte of a
// depth-24 pixel undefined; RGB32 wants it 0xff. Set while copying: a second pass over a
// screen-sized picture costs as much as the copy itself.
QImage opaqueCopy(const XImage* raw, const QSize& size, QImage spare = QImage())
{
    QImage image = pictureIn(std::move(spare), size);
    if (image.isNull())
        return image;
    const int width = size.width();
    for (int y = 0; y < size.height(); ++y) {
        const auto* from = reinterpret_cast<const quint32*>(raw->data + qsizetype(y) * raw->bytes_per_line);
        auto* to = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            to[x] = from[x] | 0xff000000u;
    }
    return image;
}

// Has the server write the whole segment once, through a connection of the calling thread's own:
// the server shares one mapping of a segment among all its clients. Quietly does nothing where
// that cannot be done; the grab itself then pays for the server's first writes.
void warmServerSide(const QByteArray& displayName, XShmSegmentInfo segment, const QSize& size)
{
    const auto close = [](Display* display) { XCloseDisplay(display); };
    const std::unique_ptr<Display, decltype(close)> own(XOpenDisplay(displayName.constData()), close);
    if (!own || !XShmQueryExtension(own.get()) || !hasPlainVisual(own.get()))
        return;
    Display* dpy = own.get();
    XImage* image = XShmCreateImage(dpy, DefaultVisual(dpy, DefaultScreen(dpy)), 24, ZPixmap, segment.shmaddr,
                                    &segment, size.width(), size.height());
    if (!image)
        return;
    segment.readOnly = False;
    if (XShmAttach(dpy, &segment)) {
        XShmGetImage(dpy, DefaultRootWindow(dpy), image, 0, 0, AllPlanes);
        XShmDetach(dpy, &segment);
        XSync(dpy, False);
    }
    image->data = nullptr; // the segment is not the image's to free
    XDestroyImage(image);
}

class CShmGrabber
{
public:
    ~CShmGrabber()
    {
        // At exit the display may already be closed; the server forgets the
        // segment with our connection anyway, so only let go of our side.
        m_attached = false;
        release();
    }

    void release()
    {
        finishPreparation();
        m_spare = QImage();
        if (m_attached && m_display)
            XShmDetach(m_display, &m_info);
        m_attached = false;
        if (m_info.shmaddr)
            shmdt(m_info.shmaddr);
        m_info.shmaddr = nullptr;
        if (m_image) {
            m_image->data = nullptr; // not ours to free: it was the shared segment
            XDestroyImage(m_image);
        }
        m_image = nullptr;
        m_capacity = 0;
        m_warm = false;
    }

    QImage grab(Display* dpy, const QRect& rect)
    {
        finishPreparation();
        // Small grabs (the hand-off marker) leave the spare for the shot.
        QImage spare;
        if (qsizetype(rect.width()) * rect.height() * 4 >= kSpareWorthBytes)
            spare = std::exchange(m_spare, QImage());
        if (!ensureCapacity(dpy, rect.size()))
            return QImage();
        m_image->width = rect.width();
        m_image->height = rect.height();
        m_image->bytes_per_line = rect.width() * 4;
        if (!XShmGetImage(dpy, DefaultRootWindow(dpy), m_image, rect.x(), rect.y(), AllPlanes))
            return QImage();
        // A copy: the segment is overwritten by the next grab.
        return opaqueCopy(m_image, rect.size(), std::move(spare));
    }

    // Makes the segment for `size` and, on a worker, writes every page of it and of a spare
    // picture of that size, then has the server fill the segment once: the server maps the
    // segment page by page at its first write, just as we do. The grab at release then lands
    // on memory that both sides already hold.
    void prepare(Display* dpy, const QSize& size)
    {
        if (m_preparing || !m_spare.isNull() || !ensureCapacity(dpy, size))
            return;
        m_preparing = true;
        const XShmSegmentInfo segment = m_info;
        const size_t bytes = m_capacity;
        const QByteArray displayName = DisplayString(dpy);
        // A segment that has held a picture is mapped on both sides already: only the spare is new.
        const bool warm = m_warm;
        m_warm = true;
        m_prepared = QtConcurrent::run([segment, bytes, size, displayName, warm] {
            QImage spare = largeImage(size);
            if (!spare.isNull())
                spare.fill(0);
            if (!warm) {
                std::memset(segment.shmaddr, 0, bytes);
                warmServerSide(displayName, segment, size);
            }
            return spare;
        });
    }

private:
    // Waits for the worker, which may still be writing to the segment, and keeps its spare.
    void finishPreparation()
    {
        if (!m_preparing)
            return;
        m_preparing = false;
        m_prepared.waitForFinished();
        if (m_prepared.resultCount() > 0)
            m_spare = m_prepared.result();
        // The future holds a reference too; the picture written into the spare must be its only one.
        m_prepared = QFuture<QImage>();
    }

    bool ensureCapacity(Display* dpy, const QSize& size)
    {
        const size_t needed = size_t(size.width()) * size_t(size.height()) * 4;
        if (m_image && needed <= m_capacity)
            return true;
        release();
        if (!hasPlainVisual(dpy))
            return false;
        m_image = XShmCreateImage(dpy, DefaultVisual(dpy, DefaultScreen(dpy)), 24, ZPixmap, nullptr, &m_info,
                                  size.width(), size.height());
        if (!m_image || m_image->bits_per_pixel != 32) {
            release();
            return false;
        }
        m_info.shmid = shmget(IPC_PRIVATE, needed, IPC_CREAT | 0600);
        if (m_info.shmid < 0) {
            release();
            return false;
        }
        m_info.shmaddr = m_image->data = static_cast<char*>(shmat(m_info.shmid, nullptr, 0));
        // Marked for removal at once: the segment disappears with the last detach, even after a crash.
        shmctl(m_info.shmid, IPC_RMID, nullptr);
        if (m_info.shmaddr == reinterpret_cast<char*>(-1)) {
            m_info.shmaddr = nullptr;
            release();
            return false;
        }
        m_info.readOnly = False;
        if (!XShmAttach(dpy, &m_info)) {
            release();
            return false;
        }
        XSync(dpy, False);
        m_display = dpy;
        m_attached = true;
        m_capacity = needed;
        return true;
    }

    Display* m_display = nullptr;
    bool m_preparing = false;
    QFuture<QImage> m_prepared; // the spare picture, once the worker has touched it all
    QImage m_spare;
    XImage* m_image = nullptr;
    XShmSegmentInfo m_info{};
    bool m_attached = false;
    size_t m_capacity = 0;
    bool m_warm = false; // every page of the segment is mapped by us and by the server
};

// The plain request: slower (the pixels travel through the socket), but any server answers it.
QImage grabThroughSocket(Display* dpy, const QRect& rect)
{
    if (!hasPlainVisual(dpy))
        return QImage();
    XImage* raw = XGetImage(dpy, DefaultRootWindow(dpy), rect.x(), rect.y(), rect.width(), rect.height(),
                            AllPlanes, ZPixmap);
    if (!raw)
        return QImage();
    // XDestroyImage is a macro, not a function to point at.
    const auto destroy = [](XImage* image) { XDestroyImage(image); };
    const std::unique_ptr<XImage, decltype(destroy)> owner(raw, destroy);
    if (raw->bits_per_pixel != 32)
        return QImage();
    return opaqueCopy(raw, rect.size());
}

class CX11ScreenGrabber final : public CAbstractScreenGrabber
{
public:
    explicit CX11ScreenGrabber(const SX11Connection& x11)
        : m_display(x11.display),
          // A remote server cannot reach our memory, and its refusal would arrive as an X error.
          m_shmAvailable(isLocalX11Display(DisplayString(x11.display)) && XShmQueryExtension(x11.display))
    {
        if (!m_shmAvailable)
            qCInfo(lcPlatform) << "no shared-memory grabs on display" << DisplayString(x11.display);
    }

    QImage grab(const QRect& rect) override
    {
        if (rect.isEmpty())
            return QImage();
        Display* dpy = m_display;
        // Areas reaching past the root window would make the request fail.
        const QRect root(0, 0, DisplayWidth(dpy, DefaultScreen(dpy)), DisplayHeight(dpy, DefaultScreen(dpy)));
        if (!root.contains(rect))
            return QImage();
        if (m_shmAvailable) {
            QImage image = m_shm.grab(dpy, rect);
            if (!image.isNull())
                return image;
            qCDebug(lcPlatform) << "shared-memory grab failed for" << rect << "; asking through the socket";
        }
        return grabThroughSocket(dpy, rect);
    }

    void prepare() override
    {
        if (m_shmAvailable)
            m_shm.prepare(m_display, QSize(DisplayWidth(m_display, DefaultScreen(m_display)),
                                           DisplayHeight(m_display, DefaultScreen(m_display))));
    }

    void releaseBuffers() override { m_shm.release(); }

    bool showsDesktopThroughOverlays() const override
    {
        // Without a compositing manager the server writes a translucent window's pixels to the
        // screen as they are. Qt follows the manager's selection through XFixes: asked at each
        // opening of the overlay, the server's answer would cost a round trip then.
        return QX11Info::isCompositingManagerRunning(DefaultScreen(m_display));
    }

private:
    Display* const m_display;
    const bool m_shmAvailable;
    CShmGrabber m_shm;
};

} // namespace

bool isLocalX11Display(const QByteArray& displayName)
{
    const int colon = displayName.lastIndexOf(':');
    if (colon < 0)
        return false;
    const QByteArray host = displayName.left(colon);
    // ":0", "unix:0" and a socket path ("/tmp/.X11-unix/X0", as launchd names it) are local
    // sockets; any host name, even "localhost" (TCP, often an ssh tunnel), is not.
    return host.isEmpty() || host == "unix" || host.startsWith('/');
}

std::unique_ptr<CAbstractScreenGrabber> createX11ScreenGrabber(const SX11Connection& x11)
{
    return std::make_unique<CX11ScreenGrabber>(x11);
}

} // namespace BL::Platform
