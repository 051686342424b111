#pragma once

#include <QString>

#include <expected>

// The gate's own log: what it writes to stdout and stderr, kept for the user and for the
// helper's explanation of an early end. The log writer (kestrova-gate-log, beside the daemon)
// keeps it while the gate runs, owner-only, within 1 MiB and one older ".1" copy, and opens
// each launch's part with a line of its own.
namespace GateOutput {

// The line that opens a launch's part of the log.
QString launchLine();

// Makes the log's folder ready (owner-only). The error says what stands in the log's place
// when it is no regular file (a folder, a link): that is left as it is, and the gate runs
// without a log.
std::expected<void, QString> prepare(const QString& path);

// The last line the latest launch wrote, on one line and cut at 160 characters; empty when it
// wrote none.
QString lastLine(const QString& path);

} // namespace GateOutput
