#!/usr/bin/env bash
# Sets everything up from Debian packages, builds with warnings as errors and
# runs the whole test suite: first the plain tests side by side, then the tests
# on private Xvfb sessions one after the other, on an otherwise quiet machine
# (their timing is the window system's, and a busy machine only makes it worse).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
"$src/scripts/setup-deps.sh"
BUILD_DIR=${BUILD_DIR:-$src/build} "$src/scripts/build.sh" -DBL_WERROR=ON -DBL_BUILD_TESTS=ON
cd "${BUILD_DIR:-$src/build}"
status=0
ctest --output-on-failure -j "$(nproc)" -LE x11 "$@" || status=$?
ctest --output-on-failure -L x11 "$@" || status=$?
exit $status
