#!/usr/bin/env bash
# Where the resident program's memory is: its resident pages per mapping (/proc/PID/smaps,
# grouped by library; anonymous memory split into the main heap, thread stacks and the rest),
# idle after start and again after a number of single shots uploaded to the reference service
# on loopback, on a private 1920x1080 X session. Prints figures; asserts nothing.
#
#   memory-map.sh [--shots N] [--local N] [--top N] [--every N]
#
# --local N adds N local shots (saved as files) after the uploaded ones.
# --every N samples the program every N uploaded shots, once it has given its memory back:
# a soak table of resident memory, heap, open descriptors and threads.
set -euo pipefail
shots=20 local=5 top=25 every=0
while [ $# -gt 0 ]; do
    case "$1" in
    --shots) shots="$2"; shift 2 ;;
    --local) local="$2"; shift 2 ;;
    --top) top="$2"; shift 2 ;;
    --every) every="$2"; shift 2 ;;
    *) echo "usage: $0 [--shots N] [--local N] [--top N] [--every N]" >&2; exit 2 ;;
    esac
done
source "$(dirname "$0")/session.sh"
bench_in_session "brightloom brightloom-server" --size 1920x1080 -- --shots "$shots" --local "$local" --top "$top" --every "$every"

# Inside the private session: no help screen at start, the service on a free loopback port.
mkdir -p "$XDG_CONFIG_HOME/Brightloom" "$HOME/service" "$HOME/brightloom_screens"
printf '[General]\nshow_pre_help=true\nshow_paste_help=true\n' >"$XDG_CONFIG_HOME/Brightloom/Brightloom.conf"
"$build/server/brightloom-server" --listen 127.0.0.1:0 --data "$HOME/service" --quiet --rate-limits 1000000,10,20,10 --upload-limits 1000000,10 2>"$HOME/service.log" &
service=$!
pid=""
trap 'kill $pid $service 2>/dev/null; wait $pid $service 2>/dev/null' EXIT
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$HOME/service.log" | head -1)
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "the service did not start" >&2; cat "$HOME/service.log" >&2; exit 1; }
export BL_SERVICE_HOST=127.0.0.1:$port BL_DISABLE_BREAKPAD=yes
QT_LOGGING_RULES="brightloom.*.debug=false;brightloom.perf.debug=true" "$build/app/brightloom" >"$HOME/program.log" 2>&1 &
pid=$!

# Prints "KiB name" per group of mappings, largest first, and the totals. Anonymous mappings
# of 8 MiB are thread stacks (glibc's default size); the other anonymous ones are malloc's
# arenas of the threads, big blocks and Qt's own.
breakdown() {
    awk -v top="$top" '
        /^[0-9a-f]+-[0-9a-f]+ / {
            name = $6
            if (name == "") name = "[anon]"
            else if (name ~ /^\//) { n = split(name, p, "/"); name = p[n] }
            file = ($6 ~ /^\//)
            next
        }
        /^Size:/ { if (name == "[anon]" && $2 == 8192) name = "[thread stacks]" }
        /^Rss:/ {
            rss[name] += $2; total += $2
            if (file) files += $2; else anon += $2
        }
        END {
            for (n in rss) printf "%8d %s\n", rss[n], n | "sort -rn | head -n " top
            close("sort -rn | head -n " top)
            printf "%8d total (files %d, anonymous %d)\n", total, files, anon
        }' "/proc/$pid/smaps"
}
threads() { ls "/proc/$pid/task" | wc -l; }
# Waits until the program has trimmed its memory N times since it started: the last stage of its
# idle release, once it has been quiet for a while.
trimmed() {
    for _ in $(seq 1200); do
        [ "$(grep -c 'perf trimmed' "$HOME/program.log")" -ge "$1" ] && break
        sleep 0.05
    done
    # The line comes just before the trim: it is done once the main thread sleeps in its poll.
    for _ in $(seq 1200); do
        grep -q poll "/proc/$pid/task/$pid/wchan" && [ "$(awk '{print $3}' "/proc/$pid/task/$pid/stat")" = S ] &&
            [ "$(grep -c 'perf trimmed' "$HOME/program.log")" -ge "$1" ] && return 0
        sleep 0.05
    done
    echo "the program did not trim its memory" >&2
    exit 1
}
trims=1
trimmed $trims # start-up, tray docking, the deferred font load, the idle release
echo "== idle after start: $(threads) threads, RSS KiB per mapping"
breakdown
idle=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")

# One shot: the hotkey ctrl+alt+KEY, then a drag from (X0, Y0) to (X1, Y1) through the middle.
shoot() {
    xdotool mousemove 960 540 key "ctrl+alt+$1"
    sleep 0.6
    xdotool mousemove "$2" "$3" mousedown 1 mousemove $((($2 + $4) / 2)) $((($3 + $5) / 2)) \
        mousemove "$4" "$5" mouseup 1
    sleep 0.8
}
# One row of the soak table: shots so far, resident KiB (all, heap), descriptors, threads.
sample() {
    if [ "$1" -gt 0 ]; then
        trims=$((trims + 1))
        trimmed $trims
    fi
    printf '%6d %8d %8d %5d %7d\n' "$1" "$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")" \
        "$(awk '/\[heap\]/ {h = 1; next} /^[0-9a-f]+-/ {h = 0} h && /^Rss:/ {s += $2} END {print s + 0}' "/proc/$pid/smaps")" \
        "$(ls "/proc/$pid/fd" | wc -l)" "$(threads)"
}
[ "$every" -gt 0 ] && printf '== soak, sampled every %d shots once idle\n shots  RSS KiB heap KiB   fds threads\n' "$every" && sample 0
for ((i = 1; i <= shots; i++)); do
    shoot p 0 0 1919 1079
    if [ "$every" -gt 0 ] && [ $((i % every)) = 0 ]; then sample "$i"; fi
done
for ((i = 0; i < local; i++)); do shoot l 100 100 900 700; done
trims=$((trims + 1))
trimmed $trims # the program gives its shot buffers back after some quiet seconds
echo "== after $shots single and $local local shots, idle: $(threads) threads, RSS KiB per mapping"
breakdown
after=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
uploads=$(find "$HOME/service" -path "*pictures*" -type f | wc -l)
saved=$(find "$HOME/brightloom_screens" -name '*.png' 2>/dev/null | wc -l)
awk -v a="$idle" -v b="$after" -v u="$uploads" -v s="$saved" \
    'BEGIN {printf "RSS idle %.1f MiB, after the shots %.1f MiB (%+.1f); pictures on the service %d, saved %d\n", a / 1024, b / 1024, (b - a) / 1024, u, s}'
