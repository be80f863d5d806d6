#!/usr/bin/env bash
# Builds and runs the shot benchmark on a private 1920x1080 X session.
# Arguments go to the benchmark (--runs N, --cold-shots N, --soak ROUNDS, --log FILE).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
"$src/scripts/setup-deps.sh"
# The soak reads the program's X resources with xrestop; only this benchmark needs it.
if ! command -v xrestop >/dev/null; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get install -y -q --no-install-recommends xrestop >/dev/null
fi
BUILD_DIR=$build BUILD_TARGETS="brightloom-shot-bench" "$src/scripts/build.sh" -DBL_BUILD_TESTS=ON >/dev/null
exec "$src/scripts/with-x.sh" --size 1920x1080 "$build/bench/shots/brightloom-shot-bench" "$@"
