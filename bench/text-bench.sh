#!/usr/bin/env bash
# Builds and runs the text recognition benchmark (offscreen; no X server needed).
# Arguments go to the benchmark (--runs N, --idle-ms MS, --shipped-only, --dump).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
"$src/scripts/setup-deps.sh"
BUILD_DIR=$build BUILD_TARGETS="brightloom-text-bench" "$src/scripts/build.sh" -DBL_BUILD_TESTS=ON >/dev/null
exec "$build/bench/text/brightloom-text-bench" "$@"
