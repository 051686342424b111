#pragma once

// `kestrova-helper connect|disconnect claude-code|codex|gemini|all`: writes the gate's hook and
// MCP server into the agents' own settings, or takes them out. It needs no display and no
// running helper, so it runs before any window system is touched.
namespace ConnectCommand {

bool handles(int argc, char* argv[]);

// The connect script's exit status, with its output passed through.
int run(int argc, char* argv[]);

} // namespace ConnectCommand
