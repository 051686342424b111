#!/bin/sh
# Prints, for each coding agent named, the command that connects it to the local gate: it
# writes the agent's hook and the gate's MCP server into the agent's own user settings.
#   tools/connect-lines.sh claude codex gemini
#   KESTROVA_HELPER=build/dev/bin/kestrova-helper tools/connect-lines.sh claude
# README.md ("Connect your agents") has the same settings by hand.
set -eu
helper=${KESTROVA_HELPER:-kestrova-helper}
[ "$#" -gt 0 ] || { echo "usage: tools/connect-lines.sh claude|codex|gemini..." >&2; exit 2; }
status=0
for agent in "$@"; do
    case "$agent" in
    claude | claude-code) echo "$helper connect claude-code" ;;
    codex) echo "$helper connect codex" ;;
    gemini) echo "$helper connect gemini" ;;
    *) echo "connect-lines: unknown agent \"$agent\" (claude, codex or gemini)" >&2; status=2 ;;
    esac
done
exit "$status"
