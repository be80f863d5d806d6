#!/usr/bin/env bash
# Runs a command with a private, throw-away HOME and XDG directories, so that
# settings, sockets and locks never leak between tests or into the user's own.
set -euo pipefail
root=$(mktemp -d /tmp/bl-home.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
       XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime"
"$@"
