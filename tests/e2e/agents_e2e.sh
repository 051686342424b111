#!/bin/sh
# Installs the coding agents tests/agents pins (npm ci, once per lock file, into the user's cache
# folder), then runs agents_e2e.mjs in a network namespace of its own: the gate's port is fixed.
#   agents_e2e.sh DEVSTACK HELPER DAEMON_SCRIPT [--bench RUNS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pinned="$here/../agents"
for tool in npm tmux; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: no $tool here (./dev test installs it)" >&2; exit 77; }
done
agents="${XDG_CACHE_HOME:-$HOME/.cache}/kestrova-tests/agents/$(sha256sum "$pinned/package-lock.json" | cut -c1-16)"
if [ ! -e "$agents/installed" ]; then
    rm -rf "$agents"
    mkdir -p "$agents"
    cp "$pinned/package.json" "$pinned/package-lock.json" "$agents/"
    if ! npm ci --prefix "$agents" --no-audit --no-fund >"$agents/npm.log" 2>&1; then
        echo "SKIP: npm could not install the agents (no registry reachable?); its log: $agents/npm.log" >&2
        exit 77
    fi
    : >"$agents/installed"
fi
exec "$here/own-network.sh" node "$here/agents_e2e.mjs" "$agents" "$@"
