#!/bin/sh
# Two virtual displays started side by side, as parallel tests start them, are two: a session
# handed another's display shares its windows, tray and window manager with it. The second
# server is slow to start, as on a busy machine: the first one answers on the number it tries
# before it has seen that number taken.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
if ! command -v Xvfb >/dev/null || ! command -v xprop >/dev/null; then
    echo "SKIP: Xvfb or xprop is not installed" >&2
    exit 77
fi
work=$(mktemp -d)
pids=""
trap 'kill $pids 2>/dev/null; rm -rf "$work"' EXIT
start_display
first=$DISPLAY pids=$xvfb_pid
mkdir "$work/bin"
printf '#!/bin/sh\nsleep 0.5\nexec %s "$@"\n' "$(command -v Xvfb)" >"$work/bin/Xvfb"
chmod +x "$work/bin/Xvfb"
PATH="$work/bin:$PATH"
start_display
pids="$pids $xvfb_pid"
if [ "$DISPLAY" = "$first" ]; then
    echo "FAIL: the second session was given the first one's display $first" >&2
    exit 1
fi
echo "PASS: $first and $DISPLAY"
