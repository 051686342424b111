#include "hook/JsonObject.h"

#include <cstddef>

namespace JsonObject {

namespace {

// A recursive-descent check that builds nothing. Nesting is bounded so that a hostile answer
// cannot exhaust the stack.
class Scanner {
public:
    explicit Scanner(std::string_view text)
        : m_text(text) {}

    bool object() {
        skipSpace();
        if (peek() != '{' || !value(0)) {
            return false;
        }
        skipSpace();
        return m_at == m_text.size();
    }

private:
    static constexpr int maxDepth = 64;

    char peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }

    bool take(char c) {
        if (peek() != c) {
            return false;
        }
        ++m_at;
        return true;
    }

    void skipSpace() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') {
            ++m_at;
        }
    }

    bool literal(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) {
            return false;
        }
        m_at += word.size();
        return true;
    }

    bool value(int depth) {
        skipSpace();
        if (depth > maxDepth) {
            return false;
        }
        switch (peek()) {
        case '{':
            return members(depth, '}', true);
        case '[':
            return members(depth, ']', false);
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    // An object's or an array's members, the opening bracket not yet taken.
    bool members(int depth, char close, bool named) {
        ++m_at;
        skipSpace();
        if (take(close)) {
            return true;
        }
        do {
            skipSpace();
            if (named && !(string() && (skipSpace(), take(':')))) {
                return false;
            }
            if (!value(depth + 1)) {
                return false;
            }
            skipSpace();
        } while (take(','));
        return take(close);
    }

    bool string() {
        if (!take('"')) {
            return false;
        }
        while (m_at < m_text.size()) {
            const auto c = static_cast<unsigned char>(m_text[m_at++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\' && !escape()) {
                return false;
            }
        }
        return false;
    }

    bool escape() {
        const char c = peek();
        ++m_at;
        if (c == 'u') {
            for (int i = 0; i < 4; ++i, ++m_at) {
                const char h = peek();
                if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F'))) {
                    return false;
                }
            }
            return true;
        }
        return std::string_view("\"\\/bfnrt").find(c) != std::string_view::npos;
    }

    bool digits() {
        const std::size_t start = m_at;
        while (peek() >= '0' && peek() <= '9') {
            ++m_at;
        }
        return m_at > start;
    }

    bool number() {
        take('-');
        if (!take('0') && !digits()) {
            return false;
        }
        if (take('.') && !digits()) {
            return false;
        }
        if (take('e') || take('E')) {
            if (!take('+')) {
                take('-');
            }
            return digits();
        }
        return true;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

bool is(std::string_view text) {
    return Scanner(text).object();
}

} // namespace JsonObject
