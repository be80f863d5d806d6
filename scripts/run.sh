#!/usr/bin/env bash
# Sets everything up from Debian packages, builds, starts the reference web
# service in the background (if it is not already listening) and runs the program.
# With DISPLAY set it runs in your X session; otherwise in a virtual X session
# with a tray host, and it prints how to look at that session.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
"$src/scripts/setup-deps.sh"
BUILD_DIR=$build BUILD_TARGETS="brightloom brightloom-server" "$src/scripts/build.sh"

server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null; true; }
trap cleanup EXIT
server_bin="$build/server/brightloom-server"
listen=${BL_SERVICE_HOST:-127.0.0.1:8480}
if [ -x "$server_bin" ]; then
    if curl -s -o /dev/null -m 1 "http://$listen/about"; then
        echo "A web service already answers on $listen; using it."
    else
        data=${XDG_DATA_HOME:-$HOME/.local/share}/brightloom-server
        mkdir -p "$data"
        "$server_bin" --listen "$listen" --data "$data" 2>>"$data/access.log" &
        server_pid=$!
        for _ in $(seq 50); do curl -s -o /dev/null -m 1 "http://$listen/about" && break; sleep 0.1; done
        echo "Reference web service on http://$listen (data in $data, log in $data/access.log)."
    fi
fi

if [ -n "${DISPLAY:-}" ]; then
    "$build/app/brightloom"
else
    cat <<TXT
No DISPLAY: starting a virtual X session (Xvfb with a tray host).
Look at it with a screenshot tool, for example ImageMagick's:
    DISPLAY=:N import -window root /tmp/brightloom.png    (N is printed below)
Press Ctrl+C here to stop.
TXT
    "$src/scripts/with-x.sh" --own-home bash -c 'echo "DISPLAY=$DISPLAY"; exec "$0"' "$build/app/brightloom"
fi
