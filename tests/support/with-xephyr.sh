#!/usr/bin/env bash
# Runs a command on a nested Xephyr with several monitors, inside the X session of
# scripts/with-x.sh: the monitors are Xinerama heads (RandR off, so that Qt takes the heads as
# its screens), each given as WxH@X,Y in root coordinates; the first one is the primary.
#
#   with-xephyr.sh [--scales "1;2"] [--tcp] [--desktop [--compositor]] WxH@X,Y [WxH@X,Y...] -- command...
#
# --scales sets QT_SCREEN_SCALE_FACTORS, one factor per head in the same order.
# --tcp reaches the server over TCP on 127.0.0.1, as a remote display is reached.
# --desktop starts openbox and a trayer tray host on the nested server, for the real program;
# --compositor xcompmgr as well.
set -uo pipefail
scales=""
listen=(-nolisten tcp)
host=""
desktop=0
compositor=0
heads=()
while [ $# -gt 0 ]; do
    case "$1" in
    --scales) scales="$2"; shift 2 ;;
    --tcp) listen=(-listen tcp); host=127.0.0.1; shift ;;
    --desktop) desktop=1; shift ;;
    --compositor) compositor=1; shift ;;
    --) shift; break ;;
    *) heads+=("$1"); shift ;;
    esac
done
[ $# -gt 0 ] && [ ${#heads[@]} -gt 0 ] || { echo "usage: $0 [--scales S] WxH@X,Y... -- command..." >&2; exit 2; }
[ -n "${DISPLAY:-}" ] || { echo "with-xephyr: no host display (run inside with-x.sh)" >&2; exit 2; }

args=()
for head in "${heads[@]}"; do
    # Xephyr ignores the offsets of -screen for the Xinerama layout; -origin places the next head.
    args+=(-origin "${head#*@}" -screen "${head%@*}")
done

root=$(mktemp -d /tmp/bl-xephyr.XXXXXX)
pid=""
PIDS=()
cleanup() {
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill "${PIDS[i]}" 2>/dev/null
        wait "${PIDS[i]}" 2>/dev/null
    done
    [ -n "$pid" ] && { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
    rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

mkfifo "$root/display"
Xephyr -displayfd 3 "${args[@]}" +xinerama -extension RANDR "${listen[@]}" -noreset \
    3>"$root/display" >"$root/xephyr.log" 2>&1 &
pid=$!
if ! read -r -t 15 num <"$root/display"; then
    echo "with-xephyr: Xephyr did not start" >&2
    cat "$root/xephyr.log" >&2
    exit 1
fi
export DISPLAY="$host:$num"
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
if [ "$desktop" = 1 ]; then
    openbox --sm-disable >/dev/null 2>&1 &
    PIDS+=($!)
    if [ "$compositor" = 1 ]; then
        xcompmgr >/dev/null 2>&1 &
        PIDS+=($!)
    fi
    trayer --edge top --align right --widthtype pixel --width 200 --height 32 >/dev/null 2>&1 &
    PIDS+=($!)
    timeout 10 xdotool search --sync --classname trayer >/dev/null 2>&1 ||
        echo "with-xephyr: trayer did not appear" >&2
    for _ in $(seq 50); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done
fi
unset QT_SCALE_FACTOR QT_AUTO_SCREEN_SCALE_FACTOR
if [ -n "$scales" ]; then
    export QT_SCREEN_SCALE_FACTORS="$scales"
else
    unset QT_SCREEN_SCALE_FACTORS
fi
"$@"
