#pragma once

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <variant>

// What a later start of the program says to the running one over the local socket: one line
// per message, "show", "url <encoded URL>" or "token <activation token>"; the running one
// answers "show" and "url" with "ok".
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
inline constexpr char answer[] = "ok\n";

QByteArray encode(const Message& message);

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
