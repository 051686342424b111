#pragma once

#include <QString>

// The gate's own log: what it writes to stdout and stderr, kept for the user and for the
// helper's explanation of an early end. Owner-only; above 1 MiB the older part moves to one
// ".1" copy.
namespace GateOutput {

// Makes the folder and the file ready for appending, and caps the file. Empty when the log
// cannot be used (a folder in its place, no permission): the gate then runs without one.
QString prepare(const QString& path);

// The last line the gate wrote, on one line and cut at 160 characters; empty when none.
QString lastLine(const QString& path);

} // namespace GateOutput
