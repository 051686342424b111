#pragma once

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <variant>

// What a later start of the program says to the running one over the local socket: one line
// per message, "show" or "url <encoded URL>"; the running one answers each with "ok".
namespace InstanceMessages {

struct Show {};
struct OpenUrl {
    QUrl url;
};
using Message = std::variant<Show, OpenUrl>;

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
