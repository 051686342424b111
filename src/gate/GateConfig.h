#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The gate daemon's configuration file: what the helper writes for its own gate and what it
// reads from a developer's existing gate.
namespace GateConfig {

inline constexpr char fileName[] = "bramblekit.json";
inline constexpr char defaultRoom[] = "kestrova";
inline constexpr char listenHost[] = "127.0.0.1";

// How long the gate holds an agent's hook for a decision: kv.hookWaitSeconds, 1 to 3600.
inline constexpr int defaultHookWaitSeconds = 600;
inline constexpr int maxHookWaitSeconds = 3600;

// What the helper's own gate is given beyond the account.
struct GateSetup {
    quint16 port;
    QString secretPath;
    int hookWaitSeconds;
};

// Pretty-printed UTF-8 JSON with unescaped slashes. An absent or empty room serves "kestrova".
QByteArray build(const QString& supportDir, const QString& apiKey,
                 const std::optional<QString>& room, const GateSetup& setup);

// The stored setting as a number of seconds in range: a number outside it is brought to the
// nearer end, and anything else is the default.
int hookWaitSeconds(const std::optional<QString>& stored);

// poller.api_key when the document is an object holding it as a non-empty string.
std::optional<QString> pollerApiKey(const QByteArray& json);

// The same, read from a file; a missing, unreadable, oversized or malformed file yields
// nothing, and so does anything but a regular file (a FIFO there must not freeze the windows).
std::optional<QString> readPollerApiKey(const QString& path);

} // namespace GateConfig
