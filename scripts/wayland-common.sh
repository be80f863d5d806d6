# Sourced by the Wayland session wrappers (with-wayland.sh, with-kwin.sh): what every private
# Wayland session needs before its compositor starts.
#
#   bl_session_enter "$0" "$@"
#
# As root, re-runs the wrapper as the unprivileged user $BL_WAYLAND_USER (default
# brightloom-test, made here when missing): the compositors refuse root or lose what root alone
# may do. As that user, the first pass makes a private root (HOME, XDG directories, a 0700
# runtime directory) and re-runs the wrapper inside a private D-Bus session bus that starts
# nothing by itself, so a service that is stopped stays away; the inner pass returns with
# $root set, the variables of the outer passes gone, and helpers to start and stop children.

bl_session_enter() {
    local self="$1"
    shift
    if [ "$(id -u)" = 0 ]; then
        local user="${BL_WAYLAND_USER:-brightloom-test}"
        if ! id "$user" >/dev/null 2>&1; then
            useradd --system --create-home --shell /usr/sbin/nologin "$user" || exit 1
        fi
        # Its own HOME from the start: root's is not writable for it.
        exec runuser -u "$user" -- env HOME="$(getent passwd "$user" | cut -d: -f6)" "$self" "$@"
    fi

    if [ -z "${BL_WAYLAND_INNER:-}" ]; then
        local base status=0
        base=$(mktemp -d /tmp/bl-wayland.XXXXXX)
        chmod 700 "$base"
        mkdir -p "$base/home" "$base/config" "$base/data" "$base/cache" "$base/runtime"
        chmod 700 "$base/runtime"
        cat >"$base/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$base/runtime</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
        HOME="$base/home" XDG_CONFIG_HOME="$base/config" XDG_DATA_HOME="$base/data" XDG_CACHE_HOME="$base/cache" \
            XDG_RUNTIME_DIR="$base/runtime" BL_WAYLAND_INNER="$base" \
            dbus-run-session --config-file="$base/bus.conf" -- "$self" "$@" || status=$?
        rm -rf "$base"
        exit "$status"
    fi

    root="$BL_WAYLAND_INNER"
    unset DISPLAY QT_QPA_PLATFORM SESSION_MANAGER BL_WAYLAND_INNER
    PIDS=()
    # Everything started in the session is a child of this shell: stop them all and wait for them.
    trap '[ ${#PIDS[@]} -gt 0 ] && kill "${PIDS[@]}" 2>/dev/null; wait' EXIT
    trap 'exit 143' INT TERM
}

# Waits up to 10 s for a condition.
bl_wait_for() {
    for _ in $(seq 100); do
        eval "$1" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "${0##*/}: gave up waiting for: $1" >&2
    return 1
}

# The names on the session bus.
bl_bus_names() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.ListNames
}
