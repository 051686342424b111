#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reading small files that someone else may have put in the user's way. Only a regular file
// (a link to one counts) is read: a FIFO, a device or a folder at the path reads as missing at
// once, where a plain open would block or read forever.
namespace RegularFile {

// The whole file, or nothing when it is missing, not a regular file, unreadable or larger
// than maxBytes.
std::optional<QByteArray> read(const QString& path, qint64 maxBytes);

// The last maxBytes of the file (all of a smaller one), or nothing when it is missing, not a
// regular file or unreadable: a log that grows without end is read in bounded time.
std::optional<QByteArray> readTail(const QString& path, qint64 maxBytes);

} // namespace RegularFile
