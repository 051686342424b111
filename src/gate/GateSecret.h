#pragma once

#include <QString>

#include <expected>

// The key every caller of the gate shows (agents' MCP clients, hooks, the helper itself):
// "gate-secret" in the gate's folder, made once and never replaced, sign-outs included.
namespace GateSecret {

inline constexpr char fileName[] = "gate-secret";

QString path(const QString& supportDir);

// The file's path, made first when missing: 32 random bytes as base64url and a line end, in a
// folder and a file only the user can read. The error is the system's description.
std::expected<QString, QString> ensure(const QString& supportDir);

} // namespace GateSecret
