#pragma once

#include <optional>
#include <string>

// The user's folders as the gate, the helper and the hook command all find them. Plain C++:
// the hook command links this too, and it starts before every prompt an agent shows.
namespace UserDirs {

// $XDG_DATA_HOME when it is absolute, else $HOME/.local/share (HOME absolute), else nothing.
// The gate's key, config and record live there.
std::optional<std::string> dataHome();

// $XDG_STATE_HOME when it is absolute, else $HOME/.local/state, else nothing: the gate's log.
std::optional<std::string> stateHome();

// $XDG_RUNTIME_DIR when it is a private folder, else /run/user/<uid> when that is, else nothing.
std::optional<std::string> runtimeFolder();

// <runtime>/kestrova-helper, where the gate keeps its sockets; the gate makes it.
std::optional<std::string> gateFolder();

// <runtime>/kestrova-helper/gate.sock: the hooks, the desktop's decisions and its live list.
std::optional<std::string> gateSocket();

// <runtime>/kestrova-helper/mcp.sock: the agents' MCP sessions.
std::optional<std::string> mcpSocket();

} // namespace UserDirs
