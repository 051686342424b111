#include "hook/HookAnswer.h"

#include "hook/JsonObject.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>

namespace HookAnswer {

namespace {

bool sameWord(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::size_t> number(std::string_view text, int base) {
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end == text.data()) {
        return std::nullopt;
    }
    return value;
}

// The body of a chunked message, once its last chunk has arrived.
std::optional<std::string> dechunked(std::string_view rest) {
    std::string body;
    while (true) {
        const std::size_t lineEnd = rest.find("\r\n");
        if (lineEnd == std::string_view::npos) {
            return std::nullopt;
        }
        const auto size = number(rest.substr(0, lineEnd), 16);
        if (!size) {
            return std::nullopt;
        }
        rest.remove_prefix(lineEnd + 2);
        if (*size == 0) {
            return body;
        }
        if (rest.size() < *size + 2) {
            return std::nullopt;
        }
        body.append(rest.substr(0, *size));
        rest.remove_prefix(*size + 2);
    }
}

} // namespace

std::string request(std::string_view agent, unsigned port, std::string_view secret,
                    std::string_view body) {
    std::string text;
    text.reserve(body.size() + 256);
    text.append("POST /hooks/").append(agent).append(" HTTP/1.1\r\n");
    text.append("Host: 127.0.0.1:").append(std::to_string(port)).append("\r\n");
    text.append("Authorization: Bearer ").append(secret).append("\r\n");
    text.append("Content-Type: application/json\r\n");
    text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    text.append("Connection: close\r\n\r\n");
    text.append(body);
    return text;
}

Reading read(std::string_view received, bool ended) {
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return {.complete = ended, .printed = {}};
    }
    std::string_view head = received.substr(0, headEnd);
    const std::string_view rest = received.substr(headEnd + 4);
    const std::size_t statusEnd = std::min(head.find("\r\n"), head.size());
    const std::string_view status = head.substr(0, statusEnd);
    if (!status.starts_with("HTTP/1.") || status.substr(8, 5) != " 200 ") {
        return {.complete = true, .printed = {}};
    }
    std::optional<std::size_t> length;
    bool chunked = false;
    head.remove_prefix(statusEnd);
    while (!head.empty()) {
        head.remove_prefix(std::min<std::size_t>(2, head.size()));
        const std::string_view line = head.substr(0, head.find("\r\n"));
        head.remove_prefix(line.size());
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (sameWord(name, "content-length")) {
            length = number(value, 10);
        } else if (sameWord(name, "transfer-encoding")) {
            chunked = sameWord(value, "chunked");
        }
    }
    std::optional<std::string> body;
    if (chunked) {
        body = dechunked(rest);
    } else if (length) {
        body = rest.size() >= *length ? std::optional(std::string(rest.substr(0, *length)))
                                      : std::nullopt;
    } else if (ended) {
        body = std::string(rest);
    }
    if (!body) {
        return {.complete = ended, .printed = {}};
    }
    return {.complete = true, .printed = JsonObject::is(*body) ? std::move(*body) : std::string()};
}

} // namespace HookAnswer
