#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The one HTTP exchange of a hook with the gate, as bytes: the request's head, and what of the
// response the agent may see.
namespace HookAnswer {

// The answer an agent reads is a decision: a few hundred bytes, a session's permissions at
// most, which the agent's own input (at most 1 MiB) bounds.
inline constexpr std::size_t maxBody = std::size_t{1} << 20;
// Status line and headers: the gate sends a few short ones.
inline constexpr std::size_t maxHead = std::size_t{16} << 10;

// Appends bytes unless the text would grow past limit; its capacity stays within limit too.
bool appendWithin(std::string& text, std::string_view bytes, std::size_t limit);

// The head of POST /hooks/<agent> with a body of bodySize bytes.
std::string requestHead(std::string_view agent, std::size_t bodySize);

// Reads the response as it arrives, keeping at most maxHead + maxBody bytes whatever is sent:
// a 200 answer, whole (Content-Length, chunked, or up to the end of the connection), whose body
// after the gate's leading heartbeat spaces is one JSON object, is the agent's decision; every
// other response, however malformed, is none.
class Reader {
public:
    // Takes the next bytes received; the decision once no more are needed (possibly "none":
    // an empty string), else nothing.
    std::optional<std::string> take(std::string_view bytes);
    // The connection ended: the decision, or none.
    std::string end();

private:
    enum class Stage { Head, Length, ChunkSize, ChunkData, ChunkEnd, UntilEnd, Done };

    // Moves bytes up to the end of the mark into m_pending: how many were used, or nothing when
    // the line would outgrow limit without its mark.
    std::optional<std::size_t> gather(std::string_view bytes, std::string_view mark,
                                      std::size_t limit);
    void readHead(std::string_view head);
    void readChunkSize();
    // Body bytes: how many were used, or nothing when the body would outgrow maxBody.
    std::optional<std::size_t> takeBody(std::string_view bytes);
    void finish(bool whole);

    Stage m_stage = Stage::Head;
    std::string m_pending; // the head, or a chunk's size line, until its end is seen
    std::string m_body;
    std::size_t m_left = 0; // bytes of the body or chunk still to come
    std::string m_decision;
};

} // namespace HookAnswer
