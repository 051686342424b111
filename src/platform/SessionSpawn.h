#pragma once

#include <QString>
#include <QStringList>

#include <expected>

// Starting a program in a session of its own, so that it outlives the helper, with exactly
// three descriptors: what it reads, and where its output and errors go. Nothing else the
// helper has open reaches it, whatever the descriptor's flags, and its signals start at their
// defaults. The program is a child of the helper's: whoever holds its id reaps it.
namespace SessionSpawn {

struct Request {
    QStringList command; // the program, by its absolute path, then its arguments
    QString workingDirectory;
    QStringList environment; // NAME=value
    int input = -1;          // -1: /dev/null
    int output = -1;         // standard output and error; -1: /dev/null
};

// The process id; the error is the system's description of why the program did not start.
std::expected<qint64, QString> start(const Request& request);

} // namespace SessionSpawn
