#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <expected>
#include <optional>

// Who listens on a local TCP port: the kernel's socket tables name each socket's owner and
// inode, and a process's descriptors name the sockets it holds.
namespace ListeningSockets {

struct Listener {
    uint uid = 0;
    quint64 inode = 0;
    friend bool operator==(const Listener&, const Listener&) = default;
};

// The socket that takes a connection to 127.0.0.1:port, picked as the kernel picks it: one
// bound to 127.0.0.1 (or ::ffff:127.0.0.1) before one bound to every address (0.0.0.0, or ::
// when it also takes IPv4), IPv4 before IPv6. Sockets on other addresses (127.0.0.2, ::1, a
// LAN address) never see that connection and do not count. Nothing inside: none listens
// there. The error says why the owner cannot be told: a table unreadable, or holding a line
// that does not parse (a table cut short is such a line).
using Lookup = std::expected<std::optional<Listener>, QString>;
Lookup loopbackListener(quint16 port);

// The same, from the text of /proc/net/tcp and /proc/net/tcp6.
Lookup loopbackListenerIn(const QByteArray& tcp, const QByteArray& tcp6, quint16 port);

// This user's processes that hold the socket open.
QList<qint64> holders(quint64 inode);
bool holds(qint64 pid, quint64 inode);

} // namespace ListeningSockets
