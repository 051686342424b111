#pragma once

#include <string_view>

namespace JsonObject {

// Whether the text is one JSON object (RFC 8259), with nothing but white space around it: what
// an agent can read as a hook's answer.
bool is(std::string_view text);

} // namespace JsonObject
