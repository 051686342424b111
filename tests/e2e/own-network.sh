#!/bin/sh
# Runs a command in a network namespace of its own, with only a loopback interface: a test
# that needs the fixed ports meets no gate or devstack a developer has running. Where the
# machine allows no namespace it is skipped (exit 77), never run against the wrong process.
#   own-network.sh COMMAND [ARG...]
if ! unshare --net true 2>/dev/null; then
    echo "SKIP: no network namespace here (needs root or unprivileged user namespaces)" >&2
    exit 77
fi
exec unshare --net sh -c 'ip link set lo up && exec "$@"' own-network "$@"
