#pragma once

#include "gate/GateEnvironment.h"
#include "gate/GateFolder.h"
#include "gate/GateProcess.h"

#include <QString>

#include <optional>

// What a launch of the gate runs: the daemon on the chosen runtime, on a PATH that finds the
// same Node.js and the system's tools, with none of the launcher's one-time tokens, its output
// kept by the log writer beside the program.
namespace GateCommand {

struct Built {
    GateProcess::Command command;
    // Why the gate runs without a log, for the user; it runs all the same.
    std::optional<QString> withoutLog;
};

Built build(const GateEnvironment& environment, const GateFolder& folder, const QString& node,
            const QString& daemonScript);

} // namespace GateCommand
