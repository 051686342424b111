#!/bin/sh
# The helper with the trays Linux desktops have, each coming up only after the helper started:
# a StatusNotifierItem host on the session bus (a small watcher of our own, sni.py), then an
# XEmbed tray in icewm's panel. Also: a minimised welcome window comes back.
#   tray_e2e.sh HELPER
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
helper=$1
python=/usr/bin/python3
if ! "$python" -c "import dbus, gi" 2>/dev/null; then
    echo "SKIP: the watcher needs python3-dbus and python3-gi" >&2
    exit 77
fi

work=$(mktemp -d)
use_temporary_home "$work"
helper_pid=""
watcher_pid=""

finish() {
    status=$?
    set +e
    [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null
    [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null
    stop_x_session
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT INT TERM

fail() { echo "FAIL: $*" >&2; exit 1; }

sni() { "$python" "$here/sni.py" "$@"; }

helper_ended() { ! kill -0 "$helper_pid" 2>/dev/null; }

icon_in_tray() { [ -n "$(tray_icon_window)" ]; }

start_session_bus
start_display
start_icewm 0

"$helper" &
helper_pid=$!
wait_for "the welcome window" 200 window_is_visible Kestrova || fail "no welcome window"

# A watcher that comes after the helper still gets the icon.
"$python" "$here/sni.py" watch >"$work/watcher.out" &
watcher_pid=$!
wait_for "the icon's registration" 100 grep -q "^registered" "$work/watcher.out" ||
    fail "the icon never registered with a watcher that came late"
item=$(sni item)
echo "$item" | grep -qx "title=Kestrova Helper" || fail "the item's title: $item"
echo "$item" | grep -qx "icon=drawn" || fail "the item has no icon: $item"

# The whole menu, signed out: information lines disabled, commands enabled, the check entry
# unchecked (lines are "label|enabled|toggle-type|toggle-state").
menu=$(sni menu)
for line in "Not signed in|off||-1" "Start local gate|off||-1" "Sign in with Google|on||-1" \
    "Diagnostics…|on||-1" "Start at login|on|checkmark|0" "Quit Kestrova Helper|on||-1"; do
    echo "$menu" | grep -qxF "$line" || fail "no \"$line\" in the menu on the bus:
$menu"
done
[ "$(echo "$menu" | grep -c .)" -ge 15 ] || fail "entries missing from the menu on the bus:
$menu"

# Entries chosen on the bus do what the entries do: the check entry turns on, and shows it.
sni click "Start at login"
wait_for "the check mark" 50 sh -c "'$python' '$here/sni.py' menu | grep -qxF 'Start at login|on|checkmark|1'" ||
    fail "\"Start at login\" chosen on the bus left it unchecked"
sni click "Diagnostics…"
wait_for "the diagnostics window" 100 window_is_visible "Kestrova Diagnostics" ||
    fail "\"Diagnostics…\" chosen on the bus opened no window"

# A left click on an item whose host draws the menu shows the welcome window.
xdotool windowactivate --sync "$(visible_window Kestrova)" key Escape
wait_for "the welcome window to hide" 50 window_is_hidden Kestrova || fail "window stayed"
sni activate
wait_for "the welcome window" 100 window_is_visible Kestrova || fail "Activate showed nothing"

# Minimised, the welcome window comes back on "Show Kestrova" and on a second start.
xdotool windowminimize --sync "$(visible_window Kestrova)"
sni click "Show Kestrova"
wait_for "the welcome window" 100 window_is_visible Kestrova ||
    fail "\"Show Kestrova\" left the window minimised"
xdotool windowminimize --sync "$(visible_window Kestrova)"
"$helper" || fail "the second start did not exit cleanly"
wait_for "the welcome window" 100 window_is_visible Kestrova ||
    fail "a second start left the window minimised"

sni click "Quit Kestrova Helper"
wait_for "the helper to quit" 100 helper_ended || fail "Quit on the bus did not end the helper"

# An XEmbed tray that comes after the helper: icewm restarted with a tray in its panel.
kill "$watcher_pid"
wait "$watcher_pid" 2>/dev/null || true
watcher_pid=""
"$helper" &
helper_pid=$!
wait_for "the welcome window" 200 window_is_visible Kestrova || fail "no welcome window"
kill "$wm_pid"
wait "$wm_pid" 2>/dev/null || true
start_icewm 1
wait_for "the icon in the tray" 200 icon_in_tray || fail "no icon in a tray that came late"
# There a left click opens the menu: its last entry quits.
open_tray_menu || fail "no tray icon"
xdotool key Up Return
wait_for "the helper to quit" 100 helper_ended || fail "a left click opened no menu"
helper_pid=""
echo "e2e: late StatusNotifierItem and XEmbed trays, the menu on the bus, Activate, minimised windows"
