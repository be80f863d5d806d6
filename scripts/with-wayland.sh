#!/usr/bin/env bash
# Runs a command inside a private headless Wayland session: sway (software rendering, one
# 1280x800 output, swaybar as the tray host), PipeWire, and xdg-desktop-portal with its wlr
# (screenshots) and gtk (permission dialogs) backends, all on a private D-Bus session bus that
# starts nothing by itself, so a portal that is stopped stays away. Private HOME and XDG
# directories; every process started here is stopped on exit.
#
#   with-wayland.sh command [args...]
#
# sway refuses to run as root: as root, the session and the command run as the unprivileged
# user $BL_WAYLAND_USER (default brightloom-test), made here when missing. The command learns
# SWAYSOCK, WAYLAND_DISPLAY and BL_PORTAL_PID (the xdg-desktop-portal process) from its
# environment.
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }

source "$(dirname "$(readlink -f "$0")")/wayland-common.sh"
bl_session_enter "$0" "$@"

cat >"$root/sway.conf" <<CONF
output HEADLESS-1 resolution 1280x800 position 0 0
default_border none
focus_follows_mouse no
bar {
    position top
    status_command while true; do sleep 3600; done
    tray_output *
}
CONF
export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland
WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    sway -c "$root/sway.conf" >"$root/sway.log" 2>&1 &
PIDS+=($!)
bl_wait_for "ls $XDG_RUNTIME_DIR/wayland-1 && ls $XDG_RUNTIME_DIR/sway-ipc.*.sock" || { cat "$root/sway.log" >&2; exit 1; }
export WAYLAND_DISPLAY=wayland-1
SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock | head -n1)
export SWAYSOCK
# The screen-cast half of the wlr portal needs PipeWire, and without it the whole portal ends.
pipewire >"$root/pipewire.log" 2>&1 &
PIDS+=($!)
bl_wait_for "ls $XDG_RUNTIME_DIR/pipewire-0"
/usr/libexec/xdg-permission-store >"$root/permission-store.log" 2>&1 &
PIDS+=($!)
/usr/libexec/xdg-desktop-portal-wlr >"$root/portal-wlr.log" 2>&1 &
PIDS+=($!)
GDK_BACKEND=wayland /usr/libexec/xdg-desktop-portal-gtk >"$root/portal-gtk.log" 2>&1 &
PIDS+=($!)
bl_wait_for "bl_bus_names | grep -q org.freedesktop.impl.portal.desktop.wlr && bl_bus_names | grep -q org.freedesktop.impl.portal.desktop.gtk && bl_bus_names | grep -q org.kde.StatusNotifierWatcher" ||
    { cat "$root"/portal-*.log "$root/sway.log" >&2; exit 1; }
/usr/libexec/xdg-desktop-portal >"$root/portal.log" 2>&1 &
BL_PORTAL_PID=$!
PIDS+=($BL_PORTAL_PID)
export BL_PORTAL_PID
bl_wait_for "bl_bus_names | grep -q org.freedesktop.portal.Desktop" || { cat "$root/portal.log" >&2; exit 1; }

"$@"
status=$?
if [ "$status" != 0 ]; then
    echo "---- session logs" >&2
    tail -n 20 "$root/sway.log" "$root"/portal*.log >&2
fi
exit "$status"
