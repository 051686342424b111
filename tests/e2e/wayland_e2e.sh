#!/bin/sh
# The helper under a Wayland compositor: weston's headless backend, with no X display at all.
# Which windows exist is read from the compositor itself (weston's scene-graph debug stream:
# one view per toplevel with its title); windows are asked for through the menu on the bus
# (sni.py's watcher, as a Wayland panel would host it), and a second start through the
# helper's own socket. Skipped (77) where weston or Qt's Wayland plugin is missing.
#   wayland_e2e.sh HELPER
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
helper=$1
python=/usr/bin/python3
if ! command -v weston >/dev/null || ! command -v weston-debug >/dev/null; then
    echo "SKIP: weston is not installed" >&2
    exit 77
fi
if ! "$python" -c "import dbus, gi" 2>/dev/null; then
    echo "SKIP: the watcher needs python3-dbus and python3-gi" >&2
    exit 77
fi

work=$(mktemp -d)
use_temporary_home "$work"
unset DISPLAY
helper_pid=""
watcher_pid=""
weston_pid=""
bus_pid=""

finish() {
    status=$?
    set +e
    for pid in "$helper_pid" "$watcher_pid" "$weston_pid" "$bus_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT INT TERM

fail() {
    echo "FAIL: $*" >&2
    echo "the compositor's toplevels:" >&2
    toplevels >&2
    exit 1
}

# One line per toplevel the compositor shows, topmost first: its title.
toplevels() {
    timeout 5 weston-debug scene-graph 2>/dev/null |
        sed -n "s/.*role xdg_toplevel,.* top-level window '\(.*\)' of .*/\1/p"
}

count_of() { toplevels | grep -cxF "$1" || true; }

shown_once() { [ "$(count_of "$1")" -eq 1 ]; }

start_session_bus
# A debug-enabled weston: the scene-graph stream is how the test sees windows.
weston --backend=headless-backend.so --socket=kestrova-wayland --idle-time=0 --debug \
    >"$work/weston.log" 2>&1 &
weston_pid=$!
if ! wait_for "weston" 100 test -S "$XDG_RUNTIME_DIR/kestrova-wayland"; then
    echo "SKIP: weston's headless backend did not start here:" >&2
    tail -n 5 "$work/weston.log" >&2
    exit 77
fi
export WAYLAND_DISPLAY=kestrova-wayland QT_QPA_PLATFORM=wayland
# The browser: what it was started with, written down.
mkdir "$work/bin" && printf '#!/bin/sh\nenv >"%s"\n' "$work/browser.env" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open" && export PATH="$work/bin:$PATH"
# libwayland-client's own leaks at exit would fail every start under the sanitizer.
export LSAN_OPTIONS="suppressions=$here/lsan-wayland.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

"$python" "$here/sni.py" watch >"$work/watcher.out" &
watcher_pid=$!
wait_for "the watcher" 100 grep -q "^watching" "$work/watcher.out" || fail "no watcher"

"$helper" 2>"$work/helper.err" &
helper_pid=$!
wait_for "the welcome window" 200 shown_once Kestrova || fail "no welcome window"
wait_for "the icon's registration" 100 grep -q "^registered" "$work/watcher.out" ||
    fail "no icon on the bus under Wayland"

# Each window once, however often it is asked for.
for entry in "Diagnostics…:Kestrova Diagnostics" "Show pairing QR…:Kestrova Pairing"; do
    label=${entry%%:*}
    title=${entry#*:}
    "$python" "$here/sni.py" click "$label"
    wait_for "$title" 100 shown_once "$title" || fail "\"$label\" showed no \"$title\""
    "$python" "$here/sni.py" click "$label"
    sleep 0.5
    shown_once "$title" || fail "\"$label\" chosen twice made $(count_of "$title") windows"
done

# A second start reaches the running helper, which shows its one welcome window. Its launcher's
# activation token is for that window alone: the browser opened later does not inherit it.
XDG_ACTIVATION_TOKEN=kestrova-e2e-token "$helper" || fail "the second start did not exit cleanly"
sleep 0.5
shown_once Kestrova || fail "after a second start: $(count_of Kestrova) welcome windows"
# Raising is the compositor's to grant (weston 10 takes no tokens): said, not tested.
echo "topmost after the second start: $(toplevels | head -n 1)"
"$python" "$here/sni.py" click "Sign in with Google"
wait_for "the browser" 100 test -s "$work/browser.env" || fail "the sign-in opened no browser"
! grep -q "^XDG_ACTIVATION_TOKEN=" "$work/browser.env" || fail "the browser inherited the token"
echo "e2e: under Wayland the welcome, diagnostics and pairing windows show, once each; no token leaks"
