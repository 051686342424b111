#!/bin/sh
# Stands in for the user's browser: approves the devstack's sign-in page, then hands the
# callback to the program the way a desktop does, by starting it with the URL.
set -eu
authorization=$1
origin=$(printf '%s' "$authorization" | sed 's|^\(https\{0,1\}://[^/]*\).*|\1|')
approve=$(curl -fsS "$authorization" | sed -n 's/.*id="continue" href="\([^"]*\)".*/\1/p' | head -n 1)
callback=$(curl -sS -o /dev/null -D - "$origin$approve" | tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
exec "$KESTROVA_HELPER_BINARY" "$callback"
