#!/bin/sh
# Prints, for each coding agent named, the one command that adds the local gate to it.
#   tools/connect-lines.sh claude codex gemini
# The helper never edits those tools' files itself; the user runs the line.
set -eu
url=${KESTROVA_GATE_URL:-http://127.0.0.1:8789/mcp}
[ "$#" -gt 0 ] || { echo "usage: tools/connect-lines.sh claude|codex|gemini..." >&2; exit 2; }
status=0
for agent in "$@"; do
    case "$agent" in
    claude) echo "claude mcp add --transport http --scope user kestrova $url" ;;
    codex) echo "codex mcp add kestrova --url $url" ;;
    gemini) echo "gemini mcp add --scope user --transport http kestrova $url" ;;
    *) echo "connect-lines: unknown agent \"$agent\" (claude, codex or gemini)" >&2; status=2 ;;
    esac
done
exit "$status"
