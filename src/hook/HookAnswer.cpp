#include "hook/HookAnswer.h"

#include "hook/JsonObject.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace HookAnswer {

namespace {

// A chunk's size line: hex digits and perhaps an extension the gate never sends.
constexpr std::size_t maxSizeLine = 1024;

bool sameWord(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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

bool isDigits(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

// "HTTP/1.x 200" and perhaps a reason: the only status that carries a decision.
bool isOk(std::string_view status) {
    return status.size() >= 12 && status.starts_with("HTTP/1.") && isDigits(status.substr(7, 1)) &&
           status.substr(8, 4) == " 200" && (status.size() == 12 || status[12] == ' ');
}

// A length no larger than the body may be; nothing for anything else, however many digits.
std::optional<std::size_t> boundedNumber(std::string_view digits, int base) {
    std::size_t value = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        const auto [end, error] = std::from_chars(&c, &c + 1, digit, base);
        if (error != std::errc() || end != &c + 1) {
            return std::nullopt;
        }
        // Stops before value * base could overflow.
        value = value * static_cast<std::size_t>(base) + digit;
        if (value > maxBody) {
            return std::nullopt;
        }
    }
    return digits.empty() ? std::nullopt : std::optional(value);
}

} // namespace

bool appendWithin(std::string& text, std::string_view bytes, std::size_t limit) {
    const std::size_t needed = text.size() + bytes.size();
    if (needed > limit) {
        return false;
    }
    // Grown by hand: the string's own doubling could hold nearly twice the limit.
    if (needed > text.capacity()) {
        text.reserve(std::min(limit, std::max(needed, text.capacity() * 2)));
    }
    text.append(bytes);
    return true;
}

std::string requestHead(std::string_view agent, std::size_t bodySize) {
    std::string text;
    text.append("POST /hooks/").append(agent).append(" HTTP/1.1\r\n");
    text.append("Host: localhost\r\n");
    text.append("Content-Type: application/json\r\n");
    text.append("Content-Length: ").append(std::to_string(bodySize)).append("\r\n");
    text.append("Connection: close\r\n\r\n");
    return text;
}

std::optional<std::string> Reader::take(std::string_view bytes) {
    while (!bytes.empty() && m_stage != Stage::Done) {
        std::optional<std::size_t> used;
        switch (m_stage) {
        case Stage::Head:
            used = gather(bytes, "\r\n\r\n", maxHead);
            if (used && m_pending.ends_with("\r\n\r\n")) {
                const std::string head = std::exchange(m_pending, {});
                readHead(std::string_view(head).substr(0, head.size() - 4));
            }
            break;
        case Stage::ChunkSize:
            used = gather(bytes, "\r\n", maxSizeLine);
            if (used && m_pending.ends_with("\r\n")) {
                readChunkSize();
            }
            break;
        case Stage::ChunkEnd:
            // Exactly CRLF after a chunk's data; gather refuses two other bytes.
            used = gather(bytes, "\r\n", 2);
            if (used && m_pending == "\r\n") {
                m_pending.clear();
                m_stage = Stage::ChunkSize;
            }
            break;
        case Stage::Length:
        case Stage::ChunkData:
        case Stage::UntilEnd:
            used = takeBody(bytes);
            break;
        case Stage::Done:
            break;
        }
        if (!used) {
            finish(false);
            break;
        }
        bytes.remove_prefix(*used);
    }
    return m_stage == Stage::Done ? std::optional(m_decision) : std::nullopt;
}

std::string Reader::end() {
    if (m_stage != Stage::Done) {
        finish(m_stage == Stage::UntilEnd);
    }
    return m_decision;
}

std::optional<std::size_t> Reader::gather(std::string_view bytes, std::string_view mark,
                                          std::size_t limit) {
    const std::size_t old = m_pending.size();
    m_pending.append(bytes.substr(0, limit - old));
    // The mark may have begun in the bytes gathered before.
    const std::size_t from = old >= mark.size() - 1 ? old - (mark.size() - 1) : 0;
    const std::size_t at = m_pending.find(mark, from);
    if (at == std::string::npos) {
        if (m_pending.size() >= limit) {
            return std::nullopt;
        }
        return bytes.size();
    }
    m_pending.resize(at + mark.size());
    return at + mark.size() - old;
}

void Reader::readHead(std::string_view head) {
    const std::size_t statusEnd = std::min(head.find("\r\n"), head.size());
    if (!isOk(head.substr(0, statusEnd))) {
        finish(false);
        return;
    }
    std::optional<std::size_t> length;
    bool chunked = false;
    head.remove_prefix(statusEnd);
    while (!head.empty()) {
        head.remove_prefix(2);
        const std::string_view line = head.substr(0, head.find("\r\n"));
        head.remove_prefix(line.size());
        const std::size_t colon = line.find(':');
        // No name, or a folded line: nothing the gate sends.
        if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
            line.front() == '\t') {
            finish(false);
            return;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (sameWord(name, "content-length")) {
            // Two lengths, or one that is not a plain number, leave the body's end unknown.
            const auto number = boundedNumber(value, 10);
            if (length || !number) {
                finish(false);
                return;
            }
            length = number;
        } else if (sameWord(name, "transfer-encoding")) {
            if (chunked || !sameWord(value, "chunked")) {
                finish(false);
                return;
            }
            chunked = true;
        }
    }
    if (chunked && length) {
        finish(false);
    } else if (chunked) {
        m_stage = Stage::ChunkSize;
    } else if (length) {
        m_stage = Stage::Length;
        m_left = *length;
        if (m_left == 0) {
            finish(true);
        }
    } else {
        m_stage = Stage::UntilEnd;
    }
}

void Reader::readChunkSize() {
    const std::string_view line = std::string_view(m_pending).substr(0, m_pending.size() - 2);
    const auto size = boundedNumber(line.substr(0, line.find(';')), 16);
    m_pending.clear();
    if (!size) {
        finish(false);
    } else if (*size == 0) {
        // The last chunk: trailers add nothing the agent reads.
        finish(true);
    } else {
        m_left = *size;
        m_stage = Stage::ChunkData;
    }
}

std::optional<std::size_t> Reader::takeBody(std::string_view bytes) {
    const std::size_t used =
        m_stage == Stage::UntilEnd ? bytes.size() : std::min(bytes.size(), m_left);
    std::string_view kept = bytes.substr(0, used);
    // The gate's heartbeat: spaces before the answer.
    while (m_body.empty() && !kept.empty() && isSpace(kept.front())) {
        kept.remove_prefix(1);
    }
    if (!appendWithin(m_body, kept, maxBody)) {
        return std::nullopt;
    }
    if (m_stage != Stage::UntilEnd) {
        m_left -= used;
    }
    if (m_stage == Stage::Length && m_left == 0) {
        finish(true);
    } else if (m_stage == Stage::ChunkData && m_left == 0) {
        m_stage = Stage::ChunkEnd;
    }
    return used;
}

void Reader::finish(bool whole) {
    m_stage = Stage::Done;
    m_pending = std::string();
    m_decision = whole && JsonObject::is(m_body) ? std::move(m_body) : std::string();
    m_body = std::string();
}

} // namespace HookAnswer
