#!/bin/sh
# Writes the README's screenshots into docs/: the real program (the dev build) under a virtual
# display with a tray, signed in through the devstack by a scripted browser.
#   tools/screenshots.sh [BUILD_DIR]     (default build/dev; ./dev run builds it)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/xsession.sh"
build=${1:-$root/build/dev}
docs="$root/docs"
mkdir -p "$docs"

work=$(mktemp -d)
use_temporary_home "$work"
use_scripted_browser "$work" "$root/tests/e2e/scripted-browser.sh"
export KESTROVA_HELPER_BINARY="$build/bin/kestrova-helper" KESTROVA_TRAY_READY="$build/bin/kestrova-tray-ready"
mkdir -p "$HOME/.local/bin"
# Two agents to find: an executable and a home-folder marker.
printf '#!/bin/sh\n' >"$HOME/.local/bin/claude" && chmod +x "$HOME/.local/bin/claude"
mkdir -p "$HOME/.codex"
# One of them connected from the command line: the welcome window offers to connect the other.
"$build/bin/kestrova-helper" connect codex >/dev/null
pids=""

finish() {
    set +e
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    pkill -f "$work/home" 2>/dev/null
    stop_x_session
    rm -rf "$work"
}
trap finish EXIT INT TERM

shoot() { # shoot TITLE FILE
    wait_for "the window $1" 100 window_is_visible "$1"
    sleep 0.7
    import -window "$(visible_window "$1")" "$docs/$2"
    echo "wrote docs/$2"
}

start_helper() { # start_helper [ENV=VALUE...]
    env "$@" "$build/bin/kestrova-helper" &
    helper=$!
    pids="$pids $helper"
}

start_x_session
"$build/bin/kestrova-devstack" --port 47110 >"$work/devstack.out" &
pids="$pids $!"
wait_for "the devstack" 100 grep -q "relay=" "$work/devstack.out"

# A notification server of our own, there before the helper asks what it can show.
/usr/bin/python3 "$root/tests/e2e/notifications.py" serve >"$work/notes" &
pids="$pids $!"
start_helper
shoot Kestrova welcome-signed-out.png

xdotool windowactivate --sync "$(visible_window Kestrova)" key Return
wait_for "the sign-in" 300 grep -q "kv.apiKey=" "$XDG_CONFIG_HOME/Kestrova/Kestrova Helper.conf"
sleep 3
shoot Kestrova welcome-signed-in.png

open_tray_menu
# The menu opens above the icon, in the bottom right corner of the screen.
import -window root -gravity SouthEast -crop 420x560+0+0 "$docs/tray-menu.png"
echo "wrote docs/tray-menu.png"
xdotool key Down Down Down Down Down Return
shoot "Kestrova Pairing" pairing.png
open_tray_menu
xdotool key Down Down Down Down Down Down Return
shoot "Kestrova Diagnostics" diagnostics.png

# A request waiting: the notification the server got (drawn as a server that reads markup shows
# it) and the tray menu listing it. Approved there; a second one denied on the phone.
gate_socket="$XDG_RUNTIME_DIR/kestrova-helper/gate.sock"
settings="$XDG_CONFIG_HOME/Kestrova/Kestrova Helper.conf"
ask() { # ask COMMAND: Claude Code's hook asks to run it
    printf '{"session_id":"s","cwd":"/home/you/shop","hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"%s"},"permission_suggestions":[{"type":"addRules","rules":[{"toolName":"Bash"}],"behavior":"allow","destination":"session"}]}' "$1" |
        curl -s -o /dev/null --unix-socket "$gate_socket" -H "Content-Type: application/json" \
            --data-binary @- http://localhost/hooks/claude-code &
    pids="$pids $!"
}
ask 'rm -rf build \u0026\u0026 make \u003call\u003e'
wait_for "the notification" 100 grep -q notify "$work/notes"
grep notify "$work/notes" | tail -n 1 |
    /usr/bin/python3 "$root/tests/e2e/notifications.py" draw "$docs/notification.png"
echo "wrote docs/notification.png"
open_tray_menu
import -window root -gravity SouthEast -crop 420x640+0+0 "$docs/tray-menu-request.png"
echo "wrote docs/tray-menu-request.png"
xdotool key Down Return
ask 'git push --force origin main'
wait_for "the second request" 100 sh -c "grep -c notify '$work/notes' | grep -qx 2"
intent=$(curl -s --unix-socket "$gate_socket" http://localhost/intents |
    /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["id"])')
curl -s -o /dev/null -H "Authorization: Bearer $(sed -n 's/^kv.apiKey=//p' "$settings")" \
    -H "Content-Type: application/json" -d '{"status":"denied","note":"Not on main, please"}' \
    "http://127.0.0.1:47110/api/v1/rooms/$(sed -n 's/^kv.personalRoom=//p' "$settings")/intents/$intent/decision"
sleep 1
open_tray_menu
xdotool key Down Down Down Down Down Down Down Return
shoot "Kestrova History" history.png

# The same windows at twice the scale, as on a high-density screen.
kill "$helper" && wait "$helper" 2>/dev/null || true
start_helper QT_SCALE_FACTOR=2
shoot Kestrova welcome-2x.png

# A dark desktop theme: GNOME's Adwaita in its dark variant (Debian's adwaita-qt6).
kill "$helper" && wait "$helper" 2>/dev/null || true
if ls /usr/lib/*/qt6/plugins/styles/adwaita.so >/dev/null 2>&1; then
    start_helper QT_STYLE_OVERRIDE=Adwaita-Dark
    shoot Kestrova welcome-dark.png
    open_tray_menu
    xdotool key Down Down Down Down Down Down Down Return
    shoot "Kestrova History" history-dark.png
    kill "$helper" && wait "$helper" 2>/dev/null || true
else
    echo "skipped docs/welcome-dark.png: install adwaita-qt6 for a dark theme" >&2
fi

# Under Wayland (weston, drawing in memory) with no tray at all, as on a stock GNOME desktop:
# the welcome window offers the menu's commands. The whole screen, compositor's panel and all.
weston --backend=headless-backend.so --use-pixman --width=900 --height=840 --socket=kestrova-shot \
    --idle-time=0 --debug >"$work/weston.log" 2>&1 &
pids="$pids $!"
wait_for "weston" 100 test -S "$XDG_RUNTIME_DIR/kestrova-shot"
start_helper WAYLAND_DISPLAY=kestrova-shot QT_QPA_PLATFORM=wayland
sleep 4
(cd "$work" && WAYLAND_DISPLAY=kestrova-shot timeout 20 weston-screenshooter)
mv "$work"/wayland-screenshot-*.png "$docs/welcome-wayland.png"
echo "wrote docs/welcome-wayland.png"
