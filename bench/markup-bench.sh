#!/usr/bin/env bash
# Builds and runs the mark-up benchmark on a private 1920x1080 X session.
# Arguments go to the benchmark (--runs N, --moves N).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
"$src/scripts/setup-deps.sh"
BUILD_DIR=$build BUILD_TARGETS="brightloom-markup-bench" "$src/scripts/build.sh" -DBL_BUILD_TESTS=ON >/dev/null
exec "$src/scripts/with-x.sh" --no-tray --size 1920x1080 "$build/bench/markup/brightloom-markup-bench" "$@"
