#pragma once

#include "gate/GateProcess.h"

#include <QByteArray>

#include <optional>

// The note the helper keeps of the gate it launched, so that a later run can take it over:
// its process id, its start time and the config it was given.
namespace GateRecord {

struct Entry {
    GateProcess::Identity identity;
    QString configPath;
};

QByteArray write(const Entry& entry);
// Nothing for garbage, a missing member or a non-positive process id.
std::optional<Entry> read(const QByteArray& json);

} // namespace GateRecord
