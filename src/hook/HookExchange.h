#pragma once

#include "hook/GateSocket.h"

#include <chrono>
#include <string>
#include <string_view>

namespace HookExchange {

// A gate that waits for the user sends a sign of life every 5 s; one silent for this long
// froze, and the agent goes on to its own prompt.
inline constexpr std::chrono::seconds silenceLimit{15};

// Sends POST /hooks/<agent> with the input and reads the answer: the decision the agent reads,
// or an empty string for none. The input is released once sent.
std::string ask(const GateSocket& gate, std::string_view agent, std::string input);

} // namespace HookExchange
