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

// Pretty-printed UTF-8 JSON with unescaped slashes. An absent or empty room serves "kestrova".
QByteArray build(const QString& supportDir, const QString& apiKey,
                 const std::optional<QString>& room, quint16 port);

// poller.api_key when the document is an object holding it as a non-empty string.
std::optional<QString> pollerApiKey(const QByteArray& json);

// The same, read from a file; a missing, unreadable, oversized or malformed file yields
// nothing, and so does anything but a regular file (a FIFO there must not freeze the windows).
std::optional<QString> readPollerApiKey(const QString& path);

} // namespace GateConfig
