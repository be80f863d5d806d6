#!/usr/bin/env bash
# Runs a command inside a private headless KDE Plasma session on Wayland: KWin (a virtual
# 1024x768 output, OpenGL on the software rasteriser; its global shortcut service runs inside it)
# and xdg-desktop-portal with the KDE backend (screenshots, global shortcuts), on a private D-Bus
# session bus that starts nothing by itself. Private HOME and XDG directories; every process
# started here is stopped on exit. kded runs KDE's StatusNotifier watcher; there is no Plasma
# shell, so no panel registers as the host that shows the items.
#
#   with-kwin.sh command [args...]
#
# As root, the session and the command run as the unprivileged user $BL_WAYLAND_USER (see
# wayland-common.sh). The command learns WAYLAND_DISPLAY and BL_PORTAL_PID (the xdg-desktop-portal
# process) from its environment.
#
# The KDE portal draws its dialogs with QML from plasma-workspace, and the watcher is a kded module
# of it, a package that would pull a whole desktop: scripts/setup-deps.sh unpacks it into
# $BL_PLASMA_DIR instead.
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }
plasma="${BL_PLASMA_DIR:-/var/cache/brightloom/plasma-workspace}"
qml="$plasma/usr/lib/x86_64-linux-gnu/qt5/qml"
watcher="$plasma/usr/lib/x86_64-linux-gnu/qt5/plugins/kf5/kded/statusnotifierwatcher.so"
[ -d "$qml/org/kde" ] && [ -f "$watcher" ] || { echo "${0##*/}: no plasma-workspace QML in $qml (run scripts/setup-deps.sh)" >&2; exit 1; }

source "$(dirname "$(readlink -f "$0")")/wayland-common.sh"
bl_session_enter "$0" "$@"

# The installed binary carries a file capability that a container may refuse to execute; a copy
# has none. Its name must stay kwin_wayland, or it does not find its own Qt platform plugin.
install -D -m755 /usr/bin/kwin_wayland "$root/bin/kwin_wayland" || exit 1
mkdir -p "$HOME/Pictures" # where the portal saves its screenshots
export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland KDE_SESSION_VERSION=5 KDE_FULL_SESSION=true
export QML2_IMPORT_PATH="$qml${QML2_IMPORT_PATH:+:$QML2_IMPORT_PATH}"
# Without the check, KWin offers its fake input to any client: the tests' pointer uses it, as
# there are no input devices.
KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 "$root/bin/kwin_wayland" --virtual --no-lockscreen --socket wayland-kwin --width 1024 --height 768 \
    >"$root/kwin.log" 2>&1 &
PIDS+=($!)
bl_wait_for "ls $XDG_RUNTIME_DIR/wayland-kwin && bl_bus_names | grep -q org.kde.kglobalaccel" ||
    { cat "$root/kwin.log" >&2; exit 1; }
export WAYLAND_DISPLAY=wayland-kwin
# The other kded modules of the package need libraries of the desktop that are not here.
install -D -m644 "$watcher" "$root/plugins/kf5/kded/statusnotifierwatcher.so" || exit 1
QT_PLUGIN_PATH="$root/plugins" QT_QPA_PLATFORM=offscreen kded5 >"$root/kded.log" 2>&1 &
PIDS+=($!)
QT_QPA_PLATFORM=wayland /usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde >"$root/portal-kde.log" 2>&1 &
PIDS+=($!)
/usr/libexec/xdg-permission-store >"$root/permission-store.log" 2>&1 &
PIDS+=($!)
bl_wait_for "bl_bus_names | grep -q org.freedesktop.impl.portal.desktop.kde && bl_bus_names | grep -q org.kde.StatusNotifierWatcher" ||
    { cat "$root/portal-kde.log" "$root/kded.log" >&2; exit 1; }
/usr/libexec/xdg-desktop-portal >"$root/portal.log" 2>&1 &
BL_PORTAL_PID=$!
PIDS+=($BL_PORTAL_PID)
export BL_PORTAL_PID
bl_wait_for "bl_bus_names | grep -q org.freedesktop.portal.Desktop" || { cat "$root/portal.log" >&2; exit 1; }

"$@"
status=$?
if [ "$status" != 0 ]; then
    echo "---- session logs" >&2
    tail -n 20 "$root/kwin.log" "$root/kded.log" "$root"/portal*.log >&2
fi
exit "$status"
