#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Who listens on a local TCP port: the kernel's socket tables name the owner's uid.
namespace ListeningSockets {

// The uid of a socket listening on the port, from /proc/net/tcp and /proc/net/tcp6; nothing
// when none is listed or the tables cannot be read.
std::optional<uint> ownerOf(quint16 port);

// The same, from the text of one table; lines that do not parse are skipped.
std::optional<uint> ownerIn(const QByteArray& table, quint16 port);

} // namespace ListeningSockets
