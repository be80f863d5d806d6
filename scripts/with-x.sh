#!/usr/bin/env bash
# Runs a command inside a private X session: Xvfb on a free display, openbox,
# xcompmgr and (unless --no-tray) a trayer tray host, with private HOME and XDG
# directories. Every process started here is stopped on exit.
#
#   with-x.sh [--no-tray] [--no-wm] [--no-compositor] [--size WxH] [--keep-home DIR] [--own-home]
#             command [args...]
#
# --no-compositor starts openbox alone: windows are drawn straight to the screen, and the
# server keeps nothing of a covered part of one.
# --keep-home DIR keeps the private directories in DIR; --own-home uses the
# caller's HOME and XDG directories unchanged (for running the program itself).
set -uo pipefail
tray=1 wm=1 compositor=1 size=1280x800x24 keep="" ownhome=0
while [ $# -gt 0 ]; do
    case "$1" in
    --no-tray) tray=0; shift ;;
    --no-wm) wm=0; shift ;;
    --no-compositor) compositor=0; shift ;;
    --size) size="$2x24"; shift 2 ;;
    --keep-home) keep="$2"; shift 2 ;;
    --own-home) ownhome=1; shift ;;
    --) shift; break ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--no-tray] [--no-wm] [--size WxH] command..." >&2; exit 2; }

root=$(mktemp -d /tmp/bl-x.XXXXXX)
PIDS=()
# A process that does not stop on TERM within 5 s is named and killed: an unbounded wait here
# would hold the caller long after its command has ended.
stop() {
    local pid=$1 name
    name=$(ps -o comm= -p "$pid" 2>/dev/null)
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
        echo "with-x: $name ($pid) did not stop on TERM; killing it" >&2
        kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
}
cleanup() {
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop "${PIDS[i]}"; done
    rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

if [ -n "$keep" ]; then
    mkdir -p "$keep"
    home="$keep"
else
    home="$root"
fi
if [ "$ownhome" = 0 ]; then
    mkdir -p "$home/home" "$home/config" "$home/data" "$home/cache" "$home/runtime"
    chmod 700 "$home/runtime"
    export HOME="$home/home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
           XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime"
fi
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS

# Xvfb picks a free display itself and tells us its number.
fifo="$root/display"
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp -noreset 3>"$fifo" >"$root/xvfb.log" 2>&1 &
PIDS+=($!)
if ! read -r -t 15 num <"$fifo"; then
    echo "with-x: Xvfb did not start" >&2
    cat "$root/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$num"
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done

if [ "$wm" = 1 ]; then
    openbox --sm-disable >/dev/null 2>&1 &
    PIDS+=($!)
    if [ "$compositor" = 1 ]; then
        xcompmgr >/dev/null 2>&1 &
        PIDS+=($!)
    fi
fi
if [ "$tray" = 1 ]; then
    trayer --edge top --align right --widthtype pixel --width 200 --height 32 >/dev/null 2>&1 &
    PIDS+=($!)
    timeout 10 xdotool search --sync --classname trayer >/dev/null 2>&1 ||
        echo "with-x: trayer did not appear" >&2
fi
# A window mapped before the window manager or the compositor has taken over the screen is
# adopted later, framed and redirected while a test already looks at it: wait for both.
if [ "$wm" = 1 ]; then
    for _ in $(seq 300); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done
    [ "$compositor" = 1 ] && { timeout 15 xdotool search --sync --name '^xcompmgr$' >/dev/null 2>&1 ||
        echo "with-x: xcompmgr did not appear" >&2; }
fi

"$@"
