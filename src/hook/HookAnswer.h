#pragma once

#include <optional>
#include <string>
#include <string_view>

// The one HTTP exchange of a hook with the gate, as bytes: the request, and what of the
// response the agent may see.
namespace HookAnswer {

std::string request(std::string_view agent, unsigned port, std::string_view secret,
                    std::string_view body);

// What the response received so far holds for the agent.
struct Reading {
    bool complete = false; // no more bytes are needed to decide
    std::string printed;   // a 200 answer's body when it is a JSON object, else nothing
};

// Understands Content-Length and chunked bodies; a response that ends there (the gate closed
// the connection) is complete whatever it holds.
Reading read(std::string_view received, bool ended);

} // namespace HookAnswer
