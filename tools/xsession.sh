# Sourced by the end-to-end test and the screenshot script: a virtual X display with a window
# manager whose panel holds a system tray, and a few helpers to wait on it.

# use_temporary_home DIR: the program sees DIR/home as its home and DIR/run as its runtime
# folder, so nothing touches the real user's files or meets a running helper.
use_temporary_home() {
    export HOME="$1/home" XDG_CONFIG_HOME="$1/home/.config" XDG_DATA_HOME="$1/home/.local/share"
    export XDG_CACHE_HOME="$1/home/.cache" XDG_RUNTIME_DIR="$1/run"
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# use_scripted_browser DIR SCRIPT: every URL the program opens goes to SCRIPT. The program opens
# URLs through xdg-open, which would prefer an installed browser to $BROWSER; an xdg-open of our
# own first on PATH leaves no browser a way in.
use_scripted_browser() {
    mkdir -p "$1/bin"
    ln -sf "$2" "$1/bin/xdg-open"
    export PATH="$1/bin:$PATH"
}

# Starts a session bus, Xvfb on a display it picks itself (no race with other sessions) and
# icewm on it; sets DISPLAY and DBUS_SESSION_BUS_ADDRESS. Every desktop has a session bus:
# without one, Qt's accessibility and tray code try to launch one and wait on it.
start_x_session() {
    start_session_bus
    start_display
    icewm >/dev/null 2>&1 &
    wm_pid=$!
    # The tray is up when Qt itself finds it. A window manager's first start on a new machine
    # builds the font cache first, which can take a minute.
    wait_for "the system tray" 1200 "$KESTROVA_TRAY_READY"
}

# A session bus of its own; sets DBUS_SESSION_BUS_ADDRESS and bus_pid.
start_session_bus() {
    bus_file=$(mktemp)
    dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$bus_file" >/dev/null 2>&1 &
    bus_pid=$!
    wait_for "the session bus" 200 test -s "$bus_file"
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$bus_file")
    export DBUS_SESSION_BUS_ADDRESS
    rm -f "$bus_file"
}

# Xvfb with no window manager yet; sets DISPLAY and xvfb_pid. Xvfb choosing its own number
# (-displayfd) checks only sockets, and a test in a network namespace of its own shares none with
# the others: two tests took the same number and unlinked each other's socket. A number taken
# through Xvfb's lock file in /tmp is seen from every namespace.
start_display() {
    display_number=10
    while [ "$display_number" -lt 60 ]; do
        # -noreset: by default the server resets when its last client leaves, and refuses
        # connections meanwhile; a window manager started again just then could not connect.
        Xvfb ":$display_number" -screen 0 1600x1200x24 -nolisten tcp -noreset >/dev/null 2>&1 &
        xvfb_pid=$!
        wait_for "the virtual display" 200 display_settled || return 1
        if kill -0 "$xvfb_pid" 2>/dev/null; then
            export DISPLAY=":$display_number"
            return 0
        fi
        display_number=$((display_number + 1))
    done
    echo "no free display number" >&2
    return 1
}

# Xvfb answers on its display, or has ended (the number was taken). Another session's server
# on the same number answers too, before ours has seen its lock and ended: only the lock file
# says whose the display is.
display_settled() {
    kill -0 "$xvfb_pid" 2>/dev/null || return 0
    [ "$(tr -d ' ' <"/tmp/.X$display_number-lock" 2>/dev/null)" = "$xvfb_pid" ] &&
        xprop -display ":$display_number" -root >/dev/null 2>&1
}

# start_icewm TRAY: icewm with its panel and the panel's tray ("1") or with no panel ("0": a
# hidden tray would still own the tray selection), configured in $HOME/.icewm; sets wm_pid.
# Returns once it manages windows.
start_icewm() {
    export ICEWM_PRIVCFG="$HOME/.icewm"
    mkdir -p "$ICEWM_PRIVCFG"
    echo "ShowTaskBar=$1" >"$ICEWM_PRIVCFG/preferences"
    # The last window manager's mark stays on the screen, which is never reset.
    xprop -root -remove _NET_SUPPORTING_WM_CHECK 2>/dev/null
    icewm >"$ICEWM_PRIVCFG/log" 2>&1 &
    wm_pid=$!
    wait_for "the window manager" 1200 wm_manages && kill -0 "$wm_pid" 2>/dev/null && return 0
    echo "the window manager did not start: $(cat "$ICEWM_PRIVCFG/log")" >&2
    return 1
}

# The window manager has marked the screen as managed, or has ended: no use waiting on.
wm_manages() {
    kill -0 "$wm_pid" 2>/dev/null || return 0
    xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"
}

# Waits for all three to end, so the next session cannot meet this one's display half torn
# down.
stop_x_session() {
    kill "$wm_pid" "$xvfb_pid" "$bus_pid" 2>/dev/null || true
    wait "$wm_pid" "$xvfb_pid" "$bus_pid" 2>/dev/null || true
}

# wait_for WHAT TENTHS COMMAND...: runs COMMAND every tenth of a second until it succeeds.
wait_for() {
    what=$1
    tries=$2
    shift 2
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        if [ "$tries" -le 0 ]; then
            echo "timed out waiting for $what" >&2
            return 1
        fi
        sleep 0.1
    done
}

# A visible top-level window with exactly this title.
visible_window() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1
}

window_is_visible() {
    [ -n "$(visible_window "$1")" ]
}

window_is_hidden() {
    [ -z "$(visible_window "$1")" ]
}

# The helper's icon in the tray: its smallest window.
tray_icon_window() {
    xdotool search --classname kestrova-helper 2>/dev/null | while read -r id; do
        size=$(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: //p')
        case "$size" in [1-9]x* | [1-4][0-9]x*) echo "$id" ;; esac
    done | head -n 1
}

# Opens the tray menu with a left click on the icon.
open_tray_menu() {
    icon=$(tray_icon_window)
    [ -n "$icon" ] || return 1
    xdotool mousemove --window "$icon" 5 5 click 1
    sleep 0.5
}
