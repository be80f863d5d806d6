#!/usr/bin/env bash
# Counts how often the resident program wakes up while it sits in the tray with nothing to do:
# context switches of each of its threads (/proc/PID/task/*/status) over a quiet period, on a
# private X session, against a service address where nothing listens. Prints figures; asserts
# nothing.
#
#   idle-wakeups.sh [--seconds N] [--perf]
#
# --perf switches the timing diagnostics on, as bench/shot-bench.sh runs the program.
set -euo pipefail
seconds=30 perf=0
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --perf) perf=1; shift ;;
    *) echo "usage: $0 [--seconds N] [--perf]" >&2; exit 2 ;;
    esac
done
source "$(dirname "$0")/session.sh"
bench_in_session brightloom -- --seconds "$seconds" $([ "$perf" = 1 ] && echo --perf)

# Inside the private session: no help screen at start, no traffic off this machine.
mkdir -p "$XDG_CONFIG_HOME/Brightloom"
printf '[General]\nshow_pre_help=true\nshow_paste_help=true\n' >"$XDG_CONFIG_HOME/Brightloom/Brightloom.conf"
export BL_SERVICE_HOST=127.0.0.1:9 BL_DISABLE_BREAKPAD=yes
rules="brightloom.*.debug=false"
[ "$perf" = 1 ] && rules="brightloom.perf.debug=true"
QT_LOGGING_RULES="$rules" "$build/app/brightloom" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
sleep 8 # start-up, tray docking, the deferred font load

switches() { # prints "tid name count" for each thread of the program
    for task in /proc/$pid/task/*; do
        [ -r "$task/status" ] || continue
        awk -v tid="${task##*/}" '/^Name:/ {name=$2} /ctxt_switches/ {n+=$2} END {print tid, name, n}' "$task/status"
    done
}
before=$(switches)
rss_kib=$(awk '/^VmRSS:/ {print $2}' /proc/$pid/status)
sleep "$seconds"
after=$(switches)

echo "idle $seconds s, program pid $pid, timing diagnostics $([ "$perf" = 1 ] && echo on || echo off)"
total=0
while read -r tid name count; do
    was=$(awk -v t="$tid" '$1 == t {print $3}' <<<"$before")
    [ -n "$was" ] || was=0
    delta=$((count - was))
    total=$((total + delta))
    role=$([ "$tid" = "$pid" ] && echo "main thread" || echo "thread $name")
    printf '  %-24s %7d wake-ups\n' "$role" "$delta"
done <<<"$after"
main=$(awk -v t="$pid" '$1 == t {print $3}' <<<"$after")
main_before=$(awk -v t="$pid" '$1 == t {print $3}' <<<"$before")
printf 'wake-ups while idle: main thread %d, whole process %d in %d s (target <= 5)\n' \
    "$((main - main_before))" "$total" "$seconds"
awk -v k="$rss_kib" 'BEGIN {printf "RSS idle after start: %.1f MiB (target <= 30)\n", k / 1024}'
