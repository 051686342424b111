#pragma once

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <expected>
#include <variant>

// What a later start of the program says to the running one over the local socket: one line
// per message, "show", "url <encoded URL>" or "token <activation token>". The running one
// answers "show" and "url" once it has handled them: "ok", or "refused <reason>" for a URL it
// did not take.
namespace InstanceMessages {

struct Show {};
struct OpenUrl {
    QUrl url;
};
// The desktop's leave for a window to take the focus (Wayland's xdg-activation), which the
// launcher gave the later start: sent before "show", for the window it brings back. Not
// answered, so that a running helper too old to know it skips the line and still shows.
struct ActivationToken {
    QByteArray token;
};
using Message = std::variant<Show, OpenUrl, ActivationToken>;

// A callback URL is a few hundred bytes; a line much longer than this is not a message.
inline constexpr qsizetype maxLineBytes = qsizetype{64} * 1024;

QByteArray encode(const Message& message);

// Taken, or the reason it was not: one line, fit for a terminal.
using Answer = std::expected<void, QString>;
inline constexpr qsizetype maxAnswerBytes = 1024;
QByteArray encodeAnswer(const Answer& answer);
// A line that is no answer reads as a refusal that says so.
Answer decodeAnswer(const QByteArray& line);

// Reads one connection's messages as its bytes arrive. Lines that are no message (an unknown
// word, a URL that does not parse) are skipped; a line longer than maxLineBytes breaks the
// connection, and nothing after it is read.
class Reader {
public:
    QList<Message> feed(const QByteArray& bytes);
    bool broken() const { return m_broken; }

private:
    QByteArray m_pending;
    bool m_broken = false;
};

} // namespace InstanceMessages
