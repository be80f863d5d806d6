#include "platform/trayhost.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QX11Info>
#include <cstdlib>
#include <xcb/xcb.h>

namespace BL::Platform {

namespace {

// A StatusNotifier watcher that knows of a host (a panel that shows the items).
bool statusNotifierHostRegistered()
{
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(watcher).value())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

// The owner of the tray selection of our screen (the XEmbed system tray protocol).
bool xembedTrayPresent()
{
    if (!QX11Info::isPlatformX11() || !QX11Info::connection())
        return false;
    xcb_connection_t* connection = QX11Info::connection();
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(QX11Info::appScreen());
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, name.size(), name.constData()), nullptr);
    if (!atom)
        return false;
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    if (!owner)
        return false;
    const bool present = owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return present;
}

} // namespace

bool trayHostPresent()
{
    return xembedTrayPresent() || statusNotifierHostRegistered();
}

} // namespace BL::Platform
