#!/usr/bin/env bash
# Sets everything up from Debian packages, builds with warnings as errors and
# runs the whole test suite (plain tests and tests on private Xvfb sessions).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
"$src/scripts/setup-deps.sh"
BUILD_DIR=${BUILD_DIR:-$src/build} "$src/scripts/build.sh" -DBL_WERROR=ON -DBL_BUILD_TESTS=ON
cd "${BUILD_DIR:-$src/build}"
ctest --output-on-failure -j "$(nproc)" "$@"
