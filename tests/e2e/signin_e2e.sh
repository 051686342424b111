#!/bin/sh
# The built program as a user meets it: under a virtual display with a tray, it shows its
# welcome window, signs in through the devstack with a scripted browser, its pairing window
# shows the QR code of the API key the devstack issued, and an agent's approval request is
# approved on the phone page; the session's end leaves the gate serving.
#   signin_e2e.sh HELPER DEVSTACK TRAY_READY
# It uses the fixed gate and devstack ports, so CTest runs it in a network of its own.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
helper=$1
devstack=$2
export KESTROVA_TRAY_READY=$3

work=$(mktemp -d)
use_temporary_home "$work"
use_scripted_browser "$work" "$here/scripted-browser.sh"
export KESTROVA_HELPER_BINARY="$helper"
helper_pid=""
devstack_pid=""

finish() {
    status=$?
    set +e
    [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null
    # The gate outlives the helper on purpose; this test's gate is ended here.
    pkill -f "$work/home" 2>/dev/null
    [ -n "$devstack_pid" ] && kill "$devstack_pid" 2>/dev/null
    stop_x_session
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT INT TERM

fail() {
    echo "FAIL: $*" >&2
    import -window root "${KESTROVA_E2E_SCREENSHOT:-/tmp/kestrova-e2e-failure.png}" 2>/dev/null || true
    exit 1
}

start_x_session
"$devstack" --port 47110 >"$work/devstack.out" &
devstack_pid=$!
wait_for "the devstack" 100 grep -q "relay=" "$work/devstack.out" || fail "devstack did not start"

"$helper" &
helper_pid=$!
wait_for "the welcome window" 200 window_is_visible Kestrova || fail "no welcome window"

# Return on the welcome window presses its next step: "Sign in with Google".
xdotool windowactivate --sync "$(visible_window Kestrova)" key Return
wait_for "the sign-in" 300 grep -q "kv.apiKey=" "$XDG_CONFIG_HOME/Kestrova/Kestrova Helper.conf" ||
    fail "the sign-in did not store an API key"
wait_for "the sign-in window to go" 50 window_is_hidden "Sign in to Kestrova" ||
    fail "the sign-in window stayed after the sign-in"
api_key=$(curl -fsS http://127.0.0.1:47110/devstack/state |
    node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>process.stdout.write(JSON.parse(s).accounts[0].api_key))')
[ -n "$api_key" ] || fail "the devstack issued no key"
wait_for "the gate's log" 100 test -s "$HOME/.local/state/kestrova-helper/gate.log" ||
    fail "the gate logs nothing to the state folder"

# The tray menu: its fifth enabled entry, signed in, is "Show pairing QR…".
open_tray_menu || fail "no tray icon"
xdotool key Down Down Down Down Down Return
wait_for "the pairing window" 100 window_is_visible "Kestrova Pairing" || fail "no pairing window"
sleep 0.5
import -window "$(visible_window "Kestrova Pairing")" "$work/pairing.png"
decoded=$(zbarimg --raw -Sbinary --quiet "$work/pairing.png" | head -c 4096)
[ "$decoded" = "$api_key" ] || fail "the QR code reads '$decoded', not the issued key"

# An agent's approval request reaches the phone page and the click there answers it.
node "$here/approval_round_trip.mjs" "$(dirname "$helper")/../share/kestrova-helper/Daemon" \
    http://127.0.0.1:47110 "$api_key" "$XDG_DATA_HOME/Kestrova Helper/receipts.jsonl" ||
    fail "the approval did not make the round trip"

# The session's end (SIGTERM) ends the helper as Quit does: status 0, the gate left serving.
kill -TERM "$helper_pid"
wait_for "the helper to quit" 100 sh -c "! kill -0 $helper_pid" || fail "SIGTERM did not end the helper"
status=0
wait "$helper_pid" || status=$?
helper_pid=""
[ "$status" -eq 0 ] || fail "SIGTERM ended the helper with status $status"
curl -fsS -o /dev/null http://127.0.0.1:8789/intents || fail "the gate stopped with the helper"
echo "e2e: welcome window, sign-in, pairing QR, approval and the session's end all as expected"
