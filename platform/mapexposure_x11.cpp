#include "platform/mapexposure.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QRect>
#include <QVector>
#include <QWindow>
#include <QX11Info>
#include <xcb/xcb.h>

namespace BL::Platform {

namespace {

// An event's sequence number is that of the last request of ours the server had handled when
// it made the event. Exposures made together with the map notification come from the same
// handling, before Qt's answer to that notification (the full frame) reached the server: they
// carry its number, and what they ask for is already under way.
class CMapExposureFilter : public QObject, public QAbstractNativeEventFilter
{
public:
    explicit CMapExposureFilter(QObject* parent) : QObject(parent)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~CMapExposureFilter() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

    void watch(QWindow* window)
    {
        if (!m_watched.contains(window))
            m_watched.push_back(window);
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, long*) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const uint8_t type = event->response_type;
        // Sent by another client (bit 0x80): its number says nothing about our requests.
        if (type & 0x80)
            return false;
        if (type == XCB_KEYMAP_NOTIFY)
            return false; // the one event without a sequence number
        // Any event made after the server handled more of our requests ends the mapping's
        // exposures: a later number can only come from a later exposure.
        if (m_pending && event->sequence != m_sequence)
            m_pending = 0;
        if (type == XCB_MAP_NOTIFY) {
            const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
            if (QWindow* window = watched(map->window)) {
                m_pending = map->window;
                m_sequence = map->sequence;
                // What Qt paints on the notification: the window as large as Qt knows it.
                const qreal ratio = window->devicePixelRatio();
                m_painted = QRect(QPoint(0, 0), window->size() * ratio);
            }
            return false;
        }
        if (type == XCB_EXPOSE) {
            const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event);
            if (!m_pending || expose->window != m_pending)
                return false;
            if (m_painted.contains(QRect(expose->x, expose->y, expose->width, expose->height)))
                return true;
            // Beyond what Qt painted: this one and the rest of its series go to Qt, which gathers
            // a series until its last exposure.
            m_pending = 0;
            return false;
        }
        return false;
    }

private:
    QWindow* watched(xcb_window_t id)
    {
        m_watched.removeAll(nullptr);
        // Matched by the native window it has now: one made again gets a new id.
        for (const QPointer<QWindow>& window : qAsConst(m_watched))
            if (window->handle() && xcb_window_t(window->winId()) == id)
                return window;
        return nullptr;
    }

    QVector<QPointer<QWindow>> m_watched;
    xcb_window_t m_pending = 0;
    uint16_t m_sequence = 0;
    QRect m_painted;
};

} // namespace

void skipExposuresOfMapping(QWindow* window)
{
    if (!window || !QX11Info::isPlatformX11())
        return;
    static QPointer<CMapExposureFilter> filter;
    if (!filter)
        filter = new CMapExposureFilter(QCoreApplication::instance());
    filter->watch(window);
}

} // namespace BL::Platform
