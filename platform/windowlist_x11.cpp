#include "platform/logging.h"
#include "platform/windowlist.h"
#include "platform/x11backends.h"

#include <QSocketNotifier>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

// X11: the root window's children are the top-level windows (under a reparenting window manager,
// the frames it draws), and XQueryTree lists them bottom to top. The list is read once, on a
// connection of its own that selects SubstructureNotify on the root: Qt's connection keeps its
// own event mask on the root, which a selection of ours there would replace. From then on the
// map, unmap, configure (move, resize, restack), circulate, reparent and destroy notifications
// keep it current, so that a mouse move costs no round trip.
//
// A window's own pixels: while a compositor runs, every top-level window is redirected and the
// server keeps its contents off screen, frame included; the Composite extension names that
// copy, so parts covered by other windows come out as the window drew them. Without a
// compositor the server keeps nothing of a covered part: the caller cuts the window's rectangle
// from the picture of the screen the overlay was shown on, covered parts showing what covers
// them, as the person saw it.
namespace BL::Platform {

namespace {

struct SEntry
{
    xcb_window_t id = 0;
    QRect geometry;
    bool mapped = false;
    bool inputOnly = false;
};

QRect outerRect(int x, int y, int width, int height, int border)
{
    return QRect(x, y, width + 2 * border, height + 2 * border);
}

template<typename T> using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

template<typename T> XcbReply<T> reply(T* raw)
{
    return XcbReply<T>(raw, &std::free);
}

class CX11WindowList final : public CAbstractWindowList
{
public:
    explicit CX11WindowList(const SX11Connection& x11) : m_display(x11.display), m_root(x11.root) {}
    ~CX11WindowList() override { stop(); }

    bool available() const override { return true; }

    void follow(quint64 ignored) override
    {
        m_ignored = xcb_window_t(ignored);
        if (m_connection) {
            publish();
            return;
        }
        xcb_connection_t* connection = xcb_connect(DisplayString(m_display), nullptr);
        if (xcb_connection_has_error(connection)) {
            qCWarning(lcPlatform) << "no connection of its own for the window list";
            xcb_disconnect(connection);
            return;
        }
        m_connection = connection;
        // Selected first: whatever changes after the tree is read is told afterwards.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        readTree();
        m_notifier =
            std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_connection), QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { drainEvents(); });
        // Events read from the socket while waiting for the replies are queued already.
        drainEvents();
    }

    void stop() override
    {
        m_notifier.reset();
        if (m_connection)
            xcb_disconnect(m_connection);
        m_connection = nullptr;
        m_entries.clear();
        m_windows.clear();
    }

    const QVector<STopLevelWindow>& windows() const override { return m_windows; }

    QImage ownPixels(const STopLevelWindow& window, const QRect& area) override;

    int fullReads() const override { return m_fullReads; }

private:
    void readTree()
    {
        ++m_fullReads;
        m_entries.clear();
        const auto tree =
            reply(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
        if (!tree)
            return;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        // Every request first, then every reply: two round trips' worth, whatever the count.
        std::vector<xcb_get_window_attributes_cookie_t> attributes;
        std::vector<xcb_get_geometry_cookie_t> geometries;
        for (int i = 0; i < count; ++i) {
            attributes.push_back(xcb_get_window_attributes(m_connection, children[i]));
            geometries.push_back(xcb_get_geometry(m_connection, children[i]));
        }
        for (int i = 0; i < count; ++i) {
            const auto attr = reply(xcb_get_window_attributes_reply(m_connection, attributes[i], nullptr));
            const auto geo = reply(xcb_get_geometry_reply(m_connection, geometries[i], nullptr));
            if (!attr || !geo)
                continue; // gone meanwhile
            m_entries.push_back(
                {children[i], outerRect(geo->x, geo->y, geo->width, geo->height, geo->border_width),
                 attr->map_state == XCB_MAP_STATE_VIEWABLE, attr->_class == XCB_WINDOW_CLASS_INPUT_ONLY});
        }
        publish();
    }

    void drainEvents()
    {
        if (!m_connection)
            return;
        bool touched = false;
        while (xcb_generic_event_t* raw = xcb_poll_for_event(m_connection)) {
            const auto event = reply(raw);
            touched |= apply(event.get());
        }
        if (xcb_connection_has_error(m_connection)) {
            qCWarning(lcPlatform) << "the window list's connection broke; the list is left as it was";
            m_notifier.reset();
            xcb_disconnect(m_connection);
            m_connection = nullptr;
        }
        if (touched) {
            publish();
            emit changed();
        }
    }

    // Applies one notification; the list read before may already hold its effect, so each is
    // applied as a state to reach, never as a step to take.
    bool apply(const xcb_generic_event_t* event)
    {
        switch (event->response_type & 0x7f) {
        case XCB_CREATE_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
            if (e->parent != m_root)
                return false;
            remove(e->window);
            m_entries.push_back({e->window, outerRect(e->x, e->y, e->width, e->height, e->border_width),
                                 false, isInputOnly(e->window)});
            return true;
        }
        case XCB_DESTROY_NOTIFY:
            return remove(reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window);
        case XCB_MAP_NOTIFY:
            return setMapped(reinterpret_cast<const xcb_map_notify_event_t*>(event)->window, true);
        case XCB_UNMAP_NOTIFY:
            return setMapped(reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window, false);
        case XCB_CONFIGURE_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            const auto it = find(e->window);
            if (it == m_entries.end())
                return false;
            SEntry entry = *it;
            entry.geometry = outerRect(e->x, e->y, e->width, e->height, e->border_width);
            m_entries.erase(it);
            insertAbove(entry, e->above_sibling);
            return true;
        }
        case XCB_GRAVITY_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_gravity_notify_event_t*>(event);
            const auto it = find(e->window);
            if (it == m_entries.end())
                return false;
            it->geometry.moveTo(e->x, e->y);
            return true;
        }
        case XCB_CIRCULATE_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_circulate_notify_event_t*>(event);
            const auto it = find(e->window);
            if (it == m_entries.end())
                return false;
            const SEntry entry = *it;
            m_entries.erase(it);
            if (e->place == XCB_PLACE_ON_TOP)
                m_entries.push_back(entry);
            else
                m_entries.insert(m_entries.begin(), entry);
            return true;
        }
        case XCB_REPARENT_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
            if (e->parent != m_root)
                return remove(e->window); // taken into a frame: the frame stands for it
            remove(e->window);
            m_entries.push_back(readEntry(e->window));
            return true;
        }
        default:
            return false;
        }
    }

    std::vector<SEntry>::iterator find(xcb_window_t id)
    {
        return std::find_if(
            m_entries.begin(), m_entries.end(), [id](const SEntry& e) { return e.id == id; });
    }

    bool remove(xcb_window_t id)
    {
        const auto it = find(id);
        if (it == m_entries.end())
            return false;
        m_entries.erase(it);
        return true;
    }

    bool setMapped(xcb_window_t id, bool mapped)
    {
        const auto it = find(id);
        if (it == m_entries.end())
            return false;
        it->mapped = mapped;
        return true;
    }

    // Right above `sibling`, or at the bottom for none (or one we do not know).
    void insertAbove(const SEntry& entry, xcb_window_t sibling)
    {
        const auto below = sibling == XCB_NONE ? m_entries.end() : find(sibling);
        m_entries.insert(below == m_entries.end() ? m_entries.begin() : below + 1, entry);
    }

    // Windows made or handed to the root after the first read: rare, so asked one by one.
    bool isInputOnly(xcb_window_t id)
    {
        const auto attr = reply(xcb_get_window_attributes_reply(
            m_connection, xcb_get_window_attributes(m_connection, id), nullptr));
        return attr && attr->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
    }

    SEntry readEntry(xcb_window_t id)
    {
        const auto attrCookie = xcb_get_window_attributes(m_connection, id);
        const auto geoCookie = xcb_get_geometry(m_connection, id);
        const auto attr = reply(xcb_get_window_attributes_reply(m_connection, attrCookie, nullptr));
        const auto geo = reply(xcb_get_geometry_reply(m_connection, geoCookie, nullptr));
        if (!attr || !geo)
            return {id, QRect(), false, true};
        return {id, outerRect(geo->x, geo->y, geo->width, geo->height, geo->border_width),
                attr->map_state == XCB_MAP_STATE_VIEWABLE, attr->_class == XCB_WINDOW_CLASS_INPUT_ONLY};
    }

    // The answer to windows(), made once per change rather than once per question.
    void publish()
    {
        m_windows.clear();
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
            if (it->mapped && !it->inputOnly && it->id != m_ignored && !it->geometry.isEmpty())
                m_windows.append({it->id, it->geometry});
    }

    bool compositorRuns();

    Display* const m_display; // Qt's: for the pixels, which travel on its connection
    const xcb_window_t m_root;
    xcb_connection_t* m_connection = nullptr; // ours: for the list and its notifications
    std::unique_ptr<QSocketNotifier> m_notifier;
    xcb_window_t m_ignored = 0;
    std::vector<SEntry> m_entries; // bottom to top, as the server stacks them
    QVector<STopLevelWindow> m_windows;
    int m_fullReads = 0;
};

bool CX11WindowList::compositorRuns()
{
    // A compositing manager owns this selection while it runs (EWMH).
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(m_display));
    const Atom selection = XInternAtom(m_display, name.constData(), False);
    return XGetSelectionOwner(m_display, selection) != 0;
}

QImage CX11WindowList::ownPixels(const STopLevelWindow& window, const QRect& area)
{
    int eventBase = 0;
    int errorBase = 0;
    if (!window.geometry.contains(area) || !XCompositeQueryExtension(m_display, &eventBase, &errorBase) ||
        !compositorRuns())
        return QImage();
    XWindowAttributes attributes;
    // Only the plain depth-24 layout: a window with an alpha channel is blended with what lies
    // under it on screen, which its own pixels do not show.
    if (!XGetWindowAttributes(m_display, Window(window.id), &attributes) || attributes.depth != 24 ||
        attributes.map_state != IsViewable)
        return QImage();
    // An X error here (the window was not redirected after all, or went away) is swallowed by
    // Qt's handler, and the image below then simply does not come.
    const Pixmap pixmap = XCompositeNameWindowPixmap(m_display, Window(window.id));
    const QPoint offset = area.topLeft() - window.geometry.topLeft();
    XImage* raw =
        XGetImage(m_display, pixmap, offset.x(), offset.y(), area.width(), area.height(), AllPlanes, ZPixmap);
    XFreePixmap(m_display, pixmap);
    if (!raw)
        return QImage();
    const auto destroy = [](XImage* image) { XDestroyImage(image); };
    const std::unique_ptr<XImage, decltype(destroy)> owner(raw, destroy);
    if (raw->bits_per_pixel != 32)
        return QImage();
    QImage image(area.size(), QImage::Format_RGB32);
    for (int y = 0; y < area.height(); ++y) {
        const auto* from = reinterpret_cast<const quint32*>(raw->data + qsizetype(y) * raw->bytes_per_line);
        auto* to = reinterpret_cast<quint32*>(image.scanLine(y));
        // The fourth byte of a depth-24 pixel is undefined; RGB32 wants it 0xff.
        for (int x = 0; x < area.width(); ++x)
            to[x] = from[x] | 0xff000000u;
    }
    return image;
}

} // namespace

std::unique_ptr<CAbstractWindowList> createX11WindowList(const SX11Connection& x11)
{
    return std::make_unique<CX11WindowList>(x11);
}

} // namespace BL::Platform
