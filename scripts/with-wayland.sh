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

if [ "$(id -u)" = 0 ]; then
    user="${BL_WAYLAND_USER:-brightloom-test}"
    if ! id "$user" >/dev/null 2>&1; then
        useradd --system --create-home --shell /usr/sbin/nologin "$user" || exit 1
    fi
    # Its own HOME from the start: root's is not writable for it.
    exec runuser -u "$user" -- env HOME="$(getent passwd "$user" | cut -d: -f6)" "$0" "$@"
fi

if [ -z "${BL_WAYLAND_INNER:-}" ]; then
    root=$(mktemp -d /tmp/bl-wayland.XXXXXX)
    chmod 700 "$root"
    mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache" "$root/runtime"
    chmod 700 "$root/runtime"
    cat >"$root/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$root/runtime</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    status=0
    HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache" \
        XDG_RUNTIME_DIR="$root/runtime" BL_WAYLAND_INNER="$root" \
        dbus-run-session --config-file="$root/bus.conf" -- "$0" "$@" || status=$?
    rm -rf "$root"
    exit "$status"
fi

root="$BL_WAYLAND_INNER"
unset DISPLAY QT_QPA_PLATFORM SESSION_MANAGER BL_WAYLAND_INNER
PIDS=()
# Everything started below is a child of this shell: stop them all and wait for them.
trap '[ ${#PIDS[@]} -gt 0 ] && kill "${PIDS[@]}" 2>/dev/null; wait' EXIT
trap 'exit 143' INT TERM

# Waits up to 10 s for a condition.
wait_for() {
    for _ in $(seq 100); do
        eval "$1" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "with-wayland: gave up waiting for: $1" >&2
    return 1
}

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
wait_for "ls $XDG_RUNTIME_DIR/wayland-1 && ls $XDG_RUNTIME_DIR/sway-ipc.*.sock" || { cat "$root/sway.log" >&2; exit 1; }
export WAYLAND_DISPLAY=wayland-1
SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock | head -n1)
export SWAYSOCK
# The screen-cast half of the wlr portal needs PipeWire, and without it the whole portal ends.
pipewire >"$root/pipewire.log" 2>&1 &
PIDS+=($!)
wait_for "ls $XDG_RUNTIME_DIR/pipewire-0"
/usr/libexec/xdg-permission-store >"$root/permission-store.log" 2>&1 &
PIDS+=($!)
/usr/libexec/xdg-desktop-portal-wlr >"$root/portal-wlr.log" 2>&1 &
PIDS+=($!)
GDK_BACKEND=wayland /usr/libexec/xdg-desktop-portal-gtk >"$root/portal-gtk.log" 2>&1 &
PIDS+=($!)
names() { dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.ListNames; }
wait_for "names | grep -q org.freedesktop.impl.portal.desktop.wlr && names | grep -q org.freedesktop.impl.portal.desktop.gtk && names | grep -q org.kde.StatusNotifierWatcher" ||
    { cat "$root"/portal-*.log "$root/sway.log" >&2; exit 1; }
/usr/libexec/xdg-desktop-portal >"$root/portal.log" 2>&1 &
BL_PORTAL_PID=$!
PIDS+=($BL_PORTAL_PID)
export BL_PORTAL_PID
wait_for "names | grep -q org.freedesktop.portal.Desktop" || { cat "$root/portal.log" >&2; exit 1; }

"$@"
status=$?
if [ "$status" != 0 ]; then
    echo "---- session logs" >&2
    tail -n 20 "$root/sway.log" "$root"/portal*.log >&2
fi
exit "$status"
