#!/bin/sh
# The .deb as a user meets it: apt installs it, its desktop entry and metainfo validate, the
# installed program shows its welcome window, and removing the package leaves nothing behind.
#   package_test.sh DEB | RELEASE_BUILD_DIR   (as root; a build folder is packaged with cpack)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xsession.sh"
app_id=com.kestrova.Helper
share=/usr/share

fail() { echo "FAIL: $*" >&2; exit 1; }

[ $# -eq 1 ] || { echo "usage: package_test.sh DEB | RELEASE_BUILD_DIR" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"
# A copy the user installed is not this test's to remove.
dpkg-query -W -f='${Status}' kestrova-helper 2>/dev/null | grep -q "ok installed" &&
    fail "kestrova-helper is already installed; remove it first"
if [ -d "$1" ]; then
    (cd "$1" && cpack -G DEB >/dev/null) || fail "cpack failed in $1"
    # shellcheck disable=SC2012 # cpack's own file names, newest first
    deb=$(ls -t "$1"/kestrova-helper_*.deb | head -n 1)
else
    deb=$1
fi
deb="$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"

work=$(mktemp -d)
helper_pid=""
installed=""
finish() {
    status=$?
    set +eu
    [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null
    stop_x_session
    [ -n "$installed" ] && apt-get purge -y kestrova-helper >/dev/null 2>&1
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT INT TERM

export DEBIAN_FRONTEND=noninteractive
installed=yes
apt-get install -y --no-install-recommends "$deb" >"$work/apt.out" 2>&1 ||
    { cat "$work/apt.out" >&2; fail "apt-get install failed"; }

for file in /usr/bin/kestrova-helper /usr/bin/kestrova-hook \
    "$share/kestrova-helper/Daemon/bin/bk-mcp-daemon.mjs" \
    "$share/kestrova-helper/Daemon/native/peercred.node" \
    "$share/kestrova-helper/Connect/bin/kestrova-connect.mjs" \
    "$share/icons/hicolor/scalable/apps/$app_id.svg"; do
    [ -s "$file" ] || fail "$file is not installed"
done
for size in 16 32 48 64 128 256; do
    png="$share/icons/hicolor/${size}x$size/apps/$app_id.png"
    file "$png" | grep -q "PNG image data, $size x $size" || fail "no ${size}px icon at $png"
done
desktop-file-validate "$share/applications/$app_id.desktop" || fail "the desktop entry is invalid"
appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml" || fail "the metainfo is invalid"
# postinst refreshed the desktop database, so browsers find the sign-in callback handler.
grep -q "^x-scheme-handler/.*=$app_id.desktop;" "$share/applications/mimeinfo.cache" ||
    fail "the callback scheme is not in the desktop database"

use_temporary_home "$work"
# The installed connect command, with no display: the hook it names is the installed one.
env -u DISPLAY /usr/bin/kestrova-helper connect codex >"$work/connect.out" 2>&1 ||
    { cat "$work/connect.out" >&2; fail "kestrova-helper connect failed"; }
grep -q '"/usr/bin/kestrova-hook codex"' "$HOME/.codex/hooks.json" ||
    fail "the connected hook is not the installed kestrova-hook"
export KESTROVA_TRAY_READY="${KESTROVA_TRAY_READY:-$1/bin/kestrova-tray-ready}"
start_x_session
/usr/bin/kestrova-helper >"$work/helper.out" 2>&1 &
helper_pid=$!
wait_for "the welcome window" 200 window_is_visible Kestrova ||
    { cat "$work/helper.out" >&2; fail "the installed program showed no welcome window"; }
kill "$helper_pid"
wait "$helper_pid" 2>/dev/null || true
helper_pid=""

apt-get purge -y kestrova-helper >"$work/apt.out" 2>&1 ||
    { cat "$work/apt.out" >&2; fail "apt-get purge failed"; }
installed=""
for path in /usr/bin/kestrova-helper /usr/bin/kestrova-hook "$share/kestrova-helper" "$share/applications/$app_id.desktop" \
    "$share/metainfo/$app_id.metainfo.xml" "$share/icons/hicolor/256x256/apps/$app_id.png"; do
    [ ! -e "$path" ] || fail "$path is left after removal"
done
! grep -qs "$app_id.desktop" "$share/applications/mimeinfo.cache" ||
    fail "the desktop database still names the removed entry"
echo "package: installed, validated, welcome window shown, removed cleanly"
