#include "FuzzSupport.h"
#include "hook/HookAnswer.h"
#include "hook/JsonObject.h"

#include <string>
#include <string_view>

using FuzzSupport::require;

namespace {
// The decision the reader comes to when the reply arrives in pieces of the given size, then
// the connection ends.
std::string decide(std::string_view reply, std::size_t piece) {
    HookAnswer::Reader reader;
    for (std::size_t at = 0; at < reply.size(); at += piece) {
        if (auto decision = reader.take(reply.substr(at, piece))) {
            return *decision;
        }
    }
    return reader.end();
}
} // namespace

// Whatever answers on the gate's socket, split into pieces as the first byte says: how the
// bytes arrive must not change the decision, and what the agent is handed is one JSON object.
// libFuzzer's time-out stops a reply that takes long to read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string_view reply(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string whole = decide(reply, reply.size() + 1);
    require(decide(reply, 1 + data[0] % 64) == whole, "pieces change the decision");
    require(decide(reply, 1) == whole, "single bytes change the decision");
    require(whole.empty() || JsonObject::is(whole), "a decision is one JSON object");
    return 0;
}
