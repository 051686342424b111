#!/bin/sh
# The helper where Qt has no X display of its own (the offscreen and minimal platforms) and on
# an X display with no session bus: in each it stays up, a second start reaches it and brings
# its window forward, and SIGTERM, as a session manager sends at logout, ends it with status 0.
# A DISPLAY or WAYLAND_DISPLAY that leads nowhere ends it with the toolkit's message and a
# plain failure, never a crash.
#   platforms_e2e.sh HELPER
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
helper=$1

work=$(mktemp -d)
use_temporary_home "$work"
unset DISPLAY
# No session bus, and none to launch: its address leads nowhere.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
# A crash shows as the signal it is, not as the sanitizer's status 1.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}handle_segv=0"
helper_pid=""
xvfb_pid=""
wm_pid=""

finish() {
    status=$?
    set +e
    # Killed outright: a helper that failed here may not end on SIGTERM.
    [ -n "$helper_pid" ] && kill -KILL "$helper_pid" 2>/dev/null && wait "$helper_pid" 2>/dev/null
    for pid in "$wm_pid" "$xvfb_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT INT TERM

fail() { echo "FAIL: $*" >&2; exit 1; }

icon_in_tray() { [ -n "$(tray_icon_window)" ]; }

# Under offscreen and minimal each raise() of a window is answered with this line.
raises() { grep -c "does not support raise()" "$work/helper.err" || true; }

start_helper() {
    "$helper" 2>"$work/helper.err" &
    helper_pid=$!
    wait_for "the helper's socket" 200 test -S "$XDG_RUNTIME_DIR/kestrova-helper.socket" ||
        fail "$1: no running helper: $(cat "$work/helper.err")"
}

end_with_sigterm() {
    kill -TERM "$helper_pid"
    wait_for "the helper to end" 100 sh -c "! kill -0 $helper_pid" || fail "$1: SIGTERM did not end it"
    status=0
    wait "$helper_pid" || status=$?
    helper_pid=""
    [ "$status" -eq 0 ] || fail "$1: SIGTERM ended the helper with status $status"
}

for platform in offscreen minimal; do
    export QT_QPA_PLATFORM=$platform
    start_helper "$platform"
    wait_for "the welcome window" 100 grep -q "does not support raise()" "$work/helper.err" ||
        fail "$platform: no welcome window"
    before=$(raises)
    "$helper" || fail "$platform: the second start failed"
    [ "$(raises)" -gt "$before" ] || fail "$platform: a second start did not raise the window"
    end_with_sigterm "$platform"
done
unset QT_QPA_PLATFORM

# With no bus the icon goes to the X tray.
start_display
start_icewm 1
start_helper "X without a bus"
wait_for "the icon in the tray" 200 icon_in_tray || fail "no icon in the X tray without a bus"
xdotool windowactivate --sync "$(visible_window Kestrova)" key Escape
wait_for "the welcome window to hide" 50 window_is_hidden Kestrova || fail "window stayed"
"$helper" || fail "X without a bus: the second start failed"
wait_for "the welcome window" 100 window_is_visible Kestrova ||
    fail "X without a bus: a second start showed no window"
end_with_sigterm "X without a bus"

refused_start() {
    what=$1 message=$2 status=0
    shift 2
    env "$@" "$helper" 2>"$work/refused.err" || status=$?
    [ "$status" -ge 1 ] && [ "$status" -lt 128 ] || fail "$what: status $status"
    grep -q "$message" "$work/refused.err" || fail "$what: $(cat "$work/refused.err")"
}
refused_start "a DISPLAY that leads nowhere" "could not connect to display" \
    QT_QPA_PLATFORM=xcb DISPLAY=:9999
refused_start "a WAYLAND_DISPLAY with no compositor" "Failed to create wl_display" \
    QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=kestrova-nowhere
echo "e2e: offscreen, minimal and X without a bus: up, reached by a second start, ended by SIGTERM"
