# Sourced by the benchmark scripts that drive the program themselves. bench_in_session TARGETS
# [with-x options] -- [script arguments]: outside a session, installs the packages, builds
# TARGETS and runs the calling script again inside a private X session (scripts/with-x.sh),
# then exits with its status; inside that session it returns at once.
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$src/build}

bench_in_session() {
    [ "${BL_BENCH_INSIDE:-}" = 1 ] && return 0
    local targets=$1 xopts=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do xopts+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    "$src/scripts/setup-deps.sh"
    BUILD_DIR=$build BUILD_TARGETS="$targets" "$src/scripts/build.sh" >/dev/null
    BL_BENCH_INSIDE=1 exec "$src/scripts/with-x.sh" "${xopts[@]}" "$0" "$@"
}
