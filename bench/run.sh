#!/bin/sh
# Prints the benchmark figures of an optimised build, one line each, compared with a baseline
# measured in the same run, then a count. It only prints: no figure fails anything. Two
# baselines: the bare tray program, and the floor, the welcome window's texts with no logic.
# The floor is measured once more with the network library loaded and in use, the share of
# the figures that any program speaking HTTP with it pays.
#   bench/run.sh BUILD_DIR [window]    window: the start-up and memory figures alone
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/xsession.sh"
bin=$(cd "$1/bin" && pwd)
only=${2:-}
export KESTROVA_TRAY_READY="$bin/kestrova-tray-ready"

work=$(mktemp -d)
# Runtime folders live on tmpfs, as /run/user does on a desktop: the single-instance lock file
# is synced to disk on creation, which costs a disk's flush elsewhere.
runtime=$(mktemp -d /dev/shm/kestrova-bench.XXXXXX 2>/dev/null || mktemp -d)
figures=0
started=""
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

finish() {
    set +e
    for pid in $started; do kill "$pid" 2>/dev/null; done
    stop_x_session
    rm -rf "$work" "$runtime"
}
trap finish EXIT
trap 'exit 1' INT TERM

figure() {
    echo "$1"
    figures=$((figures + 1))
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
}

# A home and runtime folder for one run, as env(1) assignments in $fresh (the paths have no
# spaces): settings start empty, and the helper, single-instance per runtime folder, never
# meets an earlier run.
fresh_home() {
    run=$(mktemp -d "$work/run.XXXXXX")
    mkdir -p "$run/home/.config" "$run/home/.local/share" "$run/home/.cache"
    run_time=$(mktemp -d "$runtime/run.XXXXXX")
    chmod 700 "$run_time"
    fresh="HOME=$run/home XDG_CONFIG_HOME=$run/home/.config XDG_DATA_HOME=$run/home/.local/share"
    fresh="$fresh XDG_CACHE_HOME=$run/home/.cache XDG_RUNTIME_DIR=$run_time"
}

# resident_kib PID [FIELD]: VmRSS, or another resident-set field of /proc/PID/status.
resident_kib() {
    sed -n "s/^${2:-VmRSS}:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status"
}

echo "bench: load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs at the start" >&2
use_scripted_browser "$work" "$here/../tests/e2e/scripted-browser.sh"
start_x_session

# 1. Exec to the window mapped, all seen by the same observer; runs alternate, after one
# unmeasured warm-up of each.
observe() {
    fresh_home
    # shellcheck disable=SC2086 # one assignment a word
    env $fresh "$bin/kestrova-map-observer" "$1" 20000 "$2" ||
        echo "bench: a start of $2 mapped no window \"$1\"" >&2
}
observe Baseline "$bin/kestrova-baseline" >/dev/null
observe Floor "$bin/kestrova-floor" >/dev/null
observe Floor "$bin/kestrova-floor-network" >/dev/null
observe Kestrova "$bin/kestrova-helper" >/dev/null
: >"$work/start-baseline"
: >"$work/start-floor"
: >"$work/start-floor-network"
: >"$work/start-helper"
for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do
    observe Baseline "$bin/kestrova-baseline" >>"$work/start-baseline"
    observe Floor "$bin/kestrova-floor" >>"$work/start-floor"
    observe Floor "$bin/kestrova-floor-network" >>"$work/start-floor-network"
    observe Kestrova "$bin/kestrova-helper" >>"$work/start-helper"
done
base=$(median <"$work/start-baseline")
floor=$(median <"$work/start-floor")
floor_network=$(median <"$work/start-floor-network")
helper=$(median <"$work/start-helper")
figure "startup: $helper ms ($(ratio "$helper" "$base") x baseline $base ms, $(ratio "$helper" "$floor") x floor $floor ms; medians of 15; targets ≤ 1.25 x and ≤ 1.10 x; the floor with the network library loaded: $(ratio "$floor_network" "$floor") x floor)"

# 2. Resident set 3 s after a real sign-in through the devstack stored the key (the gate it
# started serving), against the baselines' 3 s after their start.
# baseline_rss PROGRAM: its resident and anonymous KiB, in $kib and $anon_kib.
baseline_rss() {
    fresh_home
    # shellcheck disable=SC2086
    env $fresh "$1" &
    pid=$!
    started="$started $pid"
    sleep 3
    kib=$(resident_kib "$pid")
    anon_kib=$(resident_kib "$pid" RssAnon)
    kill "$pid"
}
baseline_rss "$bin/kestrova-baseline"
base=$kib base_anon=$anon_kib
baseline_rss "$bin/kestrova-floor"
floor=$kib floor_anon=$anon_kib

signed_in_rss() {
    "$bin/kestrova-devstack" --port 47110 >"$work/devstack.out" 2>&1 &
    devstack=$!
    started="$started $devstack"
    wait_for "the devstack on port 47110" 100 grep -q "relay=" "$work/devstack.out" || return 1
    # The floor with the network library, asking the devstack each second as the helper's
    # probes ask its gate.
    export KESTROVA_FLOOR_PROBE_URL=http://127.0.0.1:47110/
    baseline_rss "$bin/kestrova-floor-network"
    unset KESTROVA_FLOOR_PROBE_URL
    floor_network=$kib
    gate="NOT serving"
    if curl -fsS -o /dev/null http://127.0.0.1:8789/intents 2>/dev/null; then
        gate="port 8789 already served before"
    fi
    fresh_home
    # shellcheck disable=SC2086
    env $fresh KESTROVA_HELPER_BINARY="$bin/kestrova-helper" \
        "$bin/kestrova-helper" >"$run/helper.out" 2>&1 &
    pid=$!
    started="$started $pid"
    wait_for "the welcome window" 200 window_is_visible Kestrova || return 1
    # Return on the welcome window presses "Sign in with Google".
    xdotool windowactivate --sync "$(visible_window Kestrova)" key Return
    wait_for "the sign-in" 300 grep -q "kv.apiKey=" "$run/home/.config/Kestrova/Kestrova Helper.conf" ||
        return 1
    sleep 3
    rss=$(resident_kib "$pid")
    anon=$(resident_kib "$pid" RssAnon)
    if [ "$gate" = "NOT serving" ] && curl -fsS -o /dev/null http://127.0.0.1:8789/intents; then
        gate=serving
    fi
    kill "$pid" "$devstack"
    # The gate outlives the helper on purpose; this run's gate is the one configured in its home.
    for gate_pid in $(pgrep -f "$run/home/.local/share/Kestrova Helper/"); do kill "$gate_pid"; done
}
if signed_in_rss; then
    figure "memory: $rss KiB ($(ratio "$rss" "$base") x baseline $base KiB, $(ratio "$rss" "$floor") x floor $floor KiB; anonymous $anon vs $base_anon and $floor_anon KiB; 3 s after sign-in, gate $gate; targets ≤ 1.3 x and ≤ 1.15 x; the floor with the network library in use: $(ratio "$floor_network" "$floor") x floor)"
else
    echo "bench: memory not measured: the sign-in through the devstack did not complete" >&2
fi
if [ "$only" = window ]; then
    echo "bench: $figures figures"
    exit 0
fi

# 3. System calls of all threads over 30 s of idling after start-up, not signed in.
idle_calls() {
    fresh_home
    # shellcheck disable=SC2086
    env $fresh "$1" >/dev/null 2>&1 &
    pid=$!
    started="$started $pid"
    wait_for "the window $2" 200 window_is_visible "$2"
    sleep 2 # the start-up probes end well within this
    timeout -s INT 30 strace -f -c -o "$work/strace.txt" -p "$pid" >/dev/null 2>&1 || true
    kill "$pid"
    awk '$NF == "total" { print $4; found = 1 } END { if (!found) print 0 }' "$work/strace.txt"
}
calls_baseline=$(idle_calls "$bin/kestrova-baseline" Baseline)
calls_helper=$(idle_calls "$bin/kestrova-helper" Kestrova)
figure "idle-syscalls: $calls_helper calls in 30 s ($(ratio "$calls_helper" "$calls_baseline") x baseline $calls_baseline calls; target ≤ 1 x)"

# 4-7. The controller's own figures. A gate started there writes to the same output, so only
# the figure lines are kept.
for name in probe-refused probe-silent signin-stall refresh-burst; do
    "$bin/kestrova-bench-controller" "$name" >"$work/controller.out" || echo "bench: $name failed" >&2
    grep -E '^(probe-|signin-|burst-)[a-z-]*: ' "$work/controller.out" >"$work/lines" || true
    while IFS= read -r line; do figure "$line"; done <"$work/lines"
done

# The tray watcher with a StatusNotifierWatcher on its bus that never answers: the longest
# main-thread stall, on a private bus.
tray_stall() {
    dbus-daemon --session --nofork --print-address=1 >"$work/bus.address" &
    started="$started $!"
    wait_for "the private bus" 100 test -s "$work/bus.address" || return 1
    bus=$(head -n 1 "$work/bus.address")
    DBUS_SESSION_BUS_ADDRESS=$bus /usr/bin/python3 -c '
import dbus, sys, time
dbus.SessionBus().request_name("org.kde.StatusNotifierWatcher")
print("owned", flush=True)
time.sleep(60)' >"$work/owner.out" &
    started="$started $!"
    wait_for "the silent watcher" 100 grep -q owned "$work/owner.out" || return 1
    DBUS_SESSION_BUS_ADDRESS=$bus "$bin/kestrova-bench-controller" tray-stall
}
line=$(tray_stall | grep '^tray-stall: ') && figure "$line" || echo "bench: tray-stall not measured" >&2

# 8. The agents' hook command: spawn to its request at the gate, against /bin/true.
figure "$("$bin/kestrova-bench-hook" "$bin/kestrova-hook" 200)"

# 9-16. The gate's own figures, its memory against a bare Node.js server measured in the same run.
node "$here/gate.mjs" "$bin/../share/kestrova-helper/Daemon/bin/bk-mcp-daemon.mjs" "$bin/kestrova-devstack" \
    >"$work/gate.out" || echo "bench: the gate's figures failed" >&2
while IFS= read -r line; do figure "gate: $line"; done <"$work/gate.out"

# 17. An answer from the click to the agent's hook: on the desktop notification (answers.py is
# the notification server) beside the phone, both on loopback.
answer_times() {
    wait_for "port 8789 to be free" 100 sh -c '! curl -s -o /dev/null http://127.0.0.1:8789/intents' || return 1
    "$bin/kestrova-devstack" --port 47110 >"$work/devstack.out" 2>&1 &
    devstack=$!
    started="$started $devstack"
    wait_for "the devstack on port 47110" 100 grep -q "relay=" "$work/devstack.out" || return 1
    fresh_home
    /usr/bin/python3 "$here/answers.py" "$run/home/.config/Kestrova/Kestrova Helper.conf" \
        "$run_time/kestrova-helper/gate.sock" http://127.0.0.1:47110 >"$work/answers.out" &
    started="$started $!"
    wait_for "the notification server" 100 grep -q serving "$work/answers.out" || return 1
    # shellcheck disable=SC2086
    env $fresh KESTROVA_HELPER_BINARY="$bin/kestrova-helper" "$bin/kestrova-helper" >/dev/null 2>&1 &
    pid=$!
    started="$started $pid"
    wait_for "the welcome window" 200 window_is_visible Kestrova || return 1
    xdotool windowactivate --sync "$(visible_window Kestrova)" key Return
    wait_for "the answers" 1800 grep -q "^answer-phone" "$work/answers.out"
    kill "$pid" "$devstack"
    for gate_pid in $(pgrep -f "$run/home/.local/share/Kestrova Helper/"); do kill "$gate_pid"; done
}
if answer_times; then
    grep "^answer-" "$work/answers.out" >"$work/lines"
    while IFS= read -r line; do figure "$line"; done <"$work/lines"
else
    echo "bench: answer times not measured: $(tail -n 1 "$work/answers.out" 2>/dev/null)" >&2
fi

# 18. Approve on the phone to the agent's tool running: the real Claude Code (npm, pinned in
# tests/agents) and the real gate on loopback.
"$here/../tests/e2e/agents_e2e.sh" "$bin/kestrova-devstack" "$bin/kestrova-helper" \
    "$bin/../share/kestrova-helper/Daemon/bin/bk-mcp-daemon.mjs" --bench 15 >"$work/agents.out" 2>&1 ||
    echo "bench: approve-to-tool not measured: $(tail -n 1 "$work/agents.out")" >&2
grep '^approve-to-tool: ' "$work/agents.out" >"$work/lines" || true
while IFS= read -r line; do figure "$line"; done <"$work/lines"

echo "bench: $figures figures"
