#!/bin/sh
# Approving where you are: an agent's request that waits for the phone also shows as a desktop
# notification (a server of our own, notifications.py, on a private session bus) and in the tray
# menu (a StatusNotifierItem host of our own, sni.py). "Deny" on the notification reaches the
# agent and the room; a phone decision withdraws the notification; a server that comes later,
# without actions, gets a plain one and the menu decides. Every request comes through the agent's
# hook command, with markup in its command and folder: shown literally wherever it appears.
#   desktop_approval_e2e.sh HELPER DEVSTACK
# It uses the fixed gate and devstack ports, so CTest runs it in a network of its own.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
helper=$1
devstack=$2
python=/usr/bin/python3
if ! "$python" -c "import dbus, gi" 2>/dev/null; then
    echo "SKIP: the servers on the bus need python3-dbus and python3-gi" >&2
    exit 77
fi

work=$(mktemp -d)
use_temporary_home "$work"
use_scripted_browser "$work" "$here/scripted-browser.sh"
export KESTROVA_HELPER_BINARY="$helper"
socket="$XDG_RUNTIME_DIR/kestrova-helper/gate.sock"
# What a model or a prompt injection may put in a command to hide its tail or freeze the helper.
markup='_<font size=1 color=white>&<img src=/dev/zero>'
escaped='_&lt;font size=1 color=white&gt;&amp;&lt;img src=/dev/zero&gt;'
pids=""

finish() {
    status=$?
    set +e
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    # A helper frozen by what it showed would ignore that, and grow.
    [ "$status" -eq 0 ] || kill -KILL "${helper_pid:-}" 2>/dev/null
    # The gate outlives the helper on purpose; this test's gate is ended here.
    pkill -f "$work/home" 2>/dev/null
    stop_x_session
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT INT TERM

fail() { echo "FAIL: $*" >&2; exit 1; }
sni() { "$python" "$here/sni.py" "$@"; }
in_menu() { sni menu | grep -qxF "$1"; }
started() { pids="$pids $!"; }
json() { "$python" -c "import json, sys; v = json.load(sys.stdin); print($1)"; }
gate() { curl -fsS --unix-socket "$socket" "$@"; }
relay() { curl -fsS -H "Authorization: Bearer $api_key" -H "Content-Type: application/json" "$@"; }

serve_notifications() { # serve_notifications [plain [slow]]
    : >"$work/notes"
    "$python" "$here/notifications.py" serve "$@" >"$work/notes" &
    notes_pid=$!
    started
    wait_for "the notification server" 50 grep -q serving "$work/notes"
}

# ask NAME: Claude Code's hook asks to remove the folder NAME, offering to allow it for the
# session; its answer lands in NAME.out.
ask() {
    printf '{"session_id":"s","cwd":"/work/%s%s","hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"rm -rf %s%s"},"permission_suggestions":[{"type":"addRules","rules":[{"toolName":"Bash"}],"behavior":"allow","destination":"session"}]}' \
        "$1" "$markup" "$1" "$markup" >"$work/$1.in"
    "$(dirname "$helper")/kestrova-hook" claude-code <"$work/$1.in" >"$work/$1.out" &
    started
    answer_pid=$!
}

# notification NAME: the server's last notification about NAME, as JSON.
notification() {
    grep "rm -rf ${1}_" "$work/notes" | tail -n 1
}

answered() { ! kill -0 "$answer_pid" 2>/dev/null; }
shown_again() { [ "$(grep -c "rm -rf ${1}_" "$work/notes")" -eq 2 ]; }
icon_in_tray() { [ -n "$(tray_icon_window)" ]; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$helper_pid/status"; }
a11y() { "$python" "$here/a11y.py" "$@"; }
# read_aloud TEXT [S]: a screen reader finds TEXT among what the helper shows within S seconds.
read_aloud() { a11y shows "$helper_pid" "$@"; }

start_session_bus
start_display
start_icewm 0
"$devstack" --port 47110 >"$work/devstack.out" &
started
wait_for "the devstack" 100 grep -q "relay=" "$work/devstack.out" || fail "devstack did not start"
"$python" "$here/sni.py" watch >"$work/watcher.out" &
watcher_pid=$!
started
serve_notifications
"$helper" >"$work/helper.out" 2>&1 &
helper_pid=$!
started
wait_for "the tray icon" 200 grep -q "^registered" "$work/watcher.out" || fail "no tray icon"
sni click "Sign in with Google"
wait_for "the sign-in" 300 grep -q "kv.apiKey=" "$XDG_CONFIG_HOME/Kestrova/Kestrova Helper.conf" ||
    fail "the sign-in did not store an API key"
api_key=$(sed -n 's/^kv.apiKey=//p' "$XDG_CONFIG_HOME/Kestrova/Kestrova Helper.conf")
room=$(relay http://127.0.0.1:47110/api/v1/rooms/mine | json 'v["room"]')
wait_for "the gate" 200 gate -o /dev/null http://gate/intents || fail "no gate serves"

# 1. The notification names the agent, shows the title literally and the folder, and offers the
# answers; "Deny" on it reaches the agent, and the room shows the request decided here.
ask one
wait_for "the notification" 200 sh -c "grep -q 'rm -rf one_' '$work/notes'" ||
    fail "no notification for the request: $(cat "$work/notes")"
shown=$(notification one)
printf "%s\n" "$shown" | json 'v["summary"]' | grep -qx "Claude Code asks for approval" || fail "summary: $shown"
printf "%s\n" "$shown" | json 'v["body"]' | grep -qxF "Bash: rm -rf one$escaped" || fail "body: $shown"
printf "%s\n" "$shown" | json 'v["body"]' | grep -qxF "Folder: /work/one$escaped" || fail "no folder: $shown"
printf "%s\n" "$shown" | json '",".join(v["actions"])' | grep -q "^approve,Approve,deny,Deny" ||
    fail "actions: $shown"
"$python" "$here/notifications.py" click "$(printf "%s\n" "$shown" | json 'v["notify"]')" deny
wait_for "the agent's answer" 100 answered || fail "the hook is still waiting after Deny"
grep -q '"behavior":"deny"' "$work/one.out" || fail "the agent was told: $(cat "$work/one.out")"
relay "http://127.0.0.1:47110/api/v1/rooms/$room/decisions?after=0&wait=0" |
    json '" ".join(d["status"] + "/" + d.get("by", "") for d in v["decisions"])' |
    grep -qx "denied/desktop" || fail "the room does not show it denied on the desktop"

# 2. Decided on the phone: the notification is withdrawn.
ask two
wait_for "the notification" 200 sh -c "grep -q 'rm -rf two_' '$work/notes'" || fail "no notification"
number=$(notification two | json 'v["notify"]')
intent=$(gate http://gate/intents | json 'v[0]["id"]')
relay -X POST -d '{"status":"approved"}' \
    "http://127.0.0.1:47110/api/v1/rooms/$room/intents/$intent/decision" >/dev/null
wait_for "the notification to go" 100 grep -qx "{\"closed\": $number}" "$work/notes" ||
    fail "the notification stayed after the phone decided"
wait_for "the agent's answer" 100 answered || fail "the hook is still waiting"
grep -q '"behavior":"allow"' "$work/two.out" || fail "the agent was told: $(cat "$work/two.out")"

# 3. Another server comes up, without actions and slow to answer: a plain notification, and the
# tray menu allows it for the session while the server still has not answered.
kill "$notes_pid"
serve_notifications plain slow
ask three
wait_for "the notification" 200 sh -c "grep -q 'rm -rf three_' '$work/notes'" || fail "no notification"
notification three | json 'v["actions"]' | grep -qx '\[\]' || fail "actions offered: $(notification three)"
notification three | json 'v["body"]' | grep -qxF "Bash: rm -rf three$markup" || fail "body escaped"
wait_for "the request in the menu" 100 in_menu 'Allow for this session|on||-1' ||
    fail "the menu does not offer the session: $(sni menu)"
sni click "Allow for this session"
wait_for "the agent's answer" 100 answered || fail "the hook is still waiting after the menu's answer"
grep -q '"behavior":"allow","updatedPermissions":\[' "$work/three.out" ||
    fail "the agent was told: $(cat "$work/three.out")"

# 4. A tray that draws the helper's own menu (XEmbed), and a screen reader's bus: the request's
# line, hovered, shows its tool tip literally, the helper still answering within a second and
# grown by less than 5 MiB while it shows. The hook gone, its notification is withdrawn; the history shows the
# command as sent.
kill "$notes_pid"
serve_notifications
ask four
wait_for "the request in the menu" 100 in_menu "Claude Code: Bash: rm -rf four$markup|off||-1" ||
    fail "the menu does not show the command as sent: $(sni menu)"
sni click "Quit Kestrova Helper"
wait_for "the helper to quit" 100 eval '! kill -0 "$helper_pid"' || fail "the helper did not quit"
kill "$watcher_pid" "$wm_pid"
wait "$wm_pid" 2>/dev/null || true
start_icewm 1
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$helper" >>"$work/helper.out" 2>&1 &
helper_pid=$!
started
wait_for "the icon in the tray" 200 icon_in_tray || fail "no icon in the tray"
wait_for "the notification" 200 shown_again four ||
    fail "the helper started again shows no notification: $(cat "$work/notes")"
xdotool search --onlyvisible --classname kestrova-helper | sort >"$work/windows"
open_tray_menu || fail "no tray icon"
menu=$(xdotool search --onlyvisible --classname kestrova-helper | sort | comm -13 "$work/windows" - | head -n 1)
# The request's line is among the menu's first: the pointer goes down them until its tool tip shows.
for y in 10 20 30 40 50; do
    xdotool mousemove --window "$menu" 40 "$y"
    read_aloud "Claude Code: Bash: rm -rf four$markup" 2 2>/dev/null && break
done
read_aloud "Claude Code: Bash: rm -rf four$markup" 0 || fail "no tool tip"
before=$(rss)
sleep 1
read_aloud "Claude Code: Bash: rm -rf four$markup" 0 || fail "the helper stopped answering"
[ $(($(rss) - before)) -lt 5120 ] || fail "the helper grew from $before kB to $(rss) kB"
xdotool key Escape
kill "$answer_pid"
wait_for "the notification to go" 100 grep -qx "{\"closed\": $(notification four | json 'v["notify"]')}" "$work/notes" ||
    fail "the notification stayed after the hook left"
open_tray_menu
xdotool key Up Up Up Up Return
read_aloud "Bash: rm -rf four$markup" || fail "the history"
echo "e2e: a notification with its answers, Deny on it, a phone decision withdrawing it, a plain one, the menu's session answer; markup shown literally and a notification withdrawn with its hook"
