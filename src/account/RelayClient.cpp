#include "account/RelayClient.h"

namespace RelayClient {

namespace {

std::optional<QNetworkRequest> jsonRequest(const QUrl& baseUrl, const QString& path) {
    const QUrl url(baseUrl.toString() + path);
    if (!url.isValid() || url.scheme().isEmpty()) {
        return std::nullopt;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

template <typename Result>
std::expected<Result, Error> mapped(const std::expected<Result, RelayError>& result) {
    if (!result) {
        return std::unexpected(result.error());
    }
    return *result;
}

} // namespace

QCoro::Task<std::expected<RelayAuth, Error>>
exchangeGoogleToken(Connection connection, QString idToken, bool forceNewKey,
                    std::optional<QString> deviceId, std::optional<QString> deviceName) {
    const auto request = jsonRequest(connection.baseUrl, QStringLiteral("/api/v1/relay/auth"));
    if (!request) {
        co_return std::unexpected(RelayError::badUrl());
    }
    // Arguments of a co_await are named locals: g++ 12 destroys their temporaries twice.
    QByteArray body = RelayMessages::authBody(idToken, forceNewKey, deviceId, deviceName);
    const auto answer = co_await HttpExchange::post(connection.network, *request, std::move(body),
                                                    connection.timeout);
    if (!answer) {
        co_return std::unexpected(answer.error());
    }
    co_return mapped(RelayMessages::relayAuth(*answer));
}

QCoro::Task<std::expected<OwnedAgentResult, Error>> registerOwnedAgent(Connection connection,
                                                                       OwnedAgentRequest agent) {
    auto request = jsonRequest(connection.baseUrl, QStringLiteral("/api/v1/agents/me/owned"));
    if (!request) {
        co_return std::unexpected(RelayError::badUrl());
    }
    request->setRawHeader("Authorization", "Bearer " + agent.apiKey.toUtf8());
    QByteArray body = RelayMessages::ownedAgentBody(agent);
    const auto answer = co_await HttpExchange::post(connection.network, *request, std::move(body),
                                                    connection.timeout);
    if (!answer) {
        co_return std::unexpected(answer.error());
    }
    co_return mapped(RelayMessages::ownedAgent(*answer));
}

} // namespace RelayClient
