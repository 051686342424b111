#pragma once

#include "account/RelayMessages.h"
#include "account/TransportError.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QUrl>

#include <chrono>
#include <expected>
#include <variant>

// The program's two calls to the relay service. No state: one request, sent once, each.
namespace RelayClient {

using Error = std::variant<RelayError, TransportError>;

struct Connection {
    QNetworkAccessManager& network;
    QUrl baseUrl; // scheme and host, no trailing slash
    std::chrono::milliseconds timeout{25000};
};

QCoro::Task<std::expected<RelayAuth, Error>> exchangeGoogleToken(Connection connection,
                                                                 QString idToken, bool forceNewKey,
                                                                 std::optional<QString> deviceId,
                                                                 std::optional<QString> deviceName);

QCoro::Task<std::expected<OwnedAgentResult, Error>> registerOwnedAgent(Connection connection,
                                                                       OwnedAgentRequest request);

} // namespace RelayClient
