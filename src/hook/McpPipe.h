#pragma once

#include "hook/GateSocket.h"

namespace McpPipe {

// Copies standard input to the gate and the gate's bytes to standard output until either side
// ends. When the input ends first, the gate is told (half-close) and its last answers are still
// delivered. The exit status: 0, or 1 when the gate ended the session first.
int run(const GateSocket& gate);

} // namespace McpPipe
