#pragma once

#include "account/HttpExchange.h"
#include "account/RelayError.h"

#include <QByteArray>
#include <QString>

#include <expected>
#include <optional>

// What the relay is sent and how its answers are read, as pure functions.
struct RelayAuth {
    QString apiKey;
    QString userId;
    std::optional<QString> personalRoom; // an empty room counts as none
};

struct OwnedAgentResult {
    QString handle;
    bool created = false;
};

struct OwnedAgentRequest {
    QString apiKey;
    QString kind;
    QString machineName;
    QString hostFingerprint;
    std::optional<QString> detectedCli;
    QString displayName;
};

namespace RelayMessages {

QByteArray authBody(const QString& idToken, bool forceNewKey,
                    const std::optional<QString>& deviceId,
                    const std::optional<QString>& deviceName);
QByteArray ownedAgentBody(const OwnedAgentRequest& request);

// A 2xx answer never fails: missing or mistyped members read as empty.
std::expected<RelayAuth, RelayError> relayAuth(const HttpExchange::Answer& answer);
std::expected<OwnedAgentResult, RelayError> ownedAgent(const HttpExchange::Answer& answer);

} // namespace RelayMessages
