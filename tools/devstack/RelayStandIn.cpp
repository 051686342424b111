#include "RelayStandIn.h"

#include "GoogleStandIn.h"
#include "Http.h"

#include <QJsonDocument>

#include <algorithm>

namespace {

// Optional members must have the right type when present.
bool hasType(const QJsonObject& object, const char* key, QJsonValue::Type type) {
    return !object.contains(key) || object.value(key).type() == type;
}

} // namespace

RelayStandIn::RelayStandIn(const GoogleStandIn& google, const Faults& faults)
    : m_google(google)
    , m_faults(faults) {
}

QHttpServerResponse RelayStandIn::auth(const QHttpServerRequest& request) {
    const auto body = http::jsonObject(request.body());
    if (!body) {
        return http::error(http::Status::BadRequest, "request body must be a JSON object");
    }
    QJsonObject recorded = *body;
    if (recorded.contains("google_id_token")) {
        // Enough to tell tokens apart in the state, not enough to replay one.
        recorded.insert("google_id_token",
                        recorded.value("google_id_token").toString().left(8) + QStringLiteral("…"));
    }
    m_authRequests.append(recorded);
    if (m_faults.relayAuth) {
        return http::raw(m_faults.relayAuth->status, m_faults.relayAuth->body);
    }
    if (!hasType(*body, "force_new_key", QJsonValue::Bool) ||
        !hasType(*body, "device_id", QJsonValue::String) ||
        !hasType(*body, "device_name", QJsonValue::String)) {
        return http::error(http::Status::BadRequest,
                           "force_new_key must be a boolean, device_id and device_name strings");
    }
    const auto user = m_google.userForIdToken(body->value("google_id_token").toString());
    if (!user) {
        return http::error(http::Status::Unauthorized, "invalid google id token");
    }
    auto account = std::ranges::find(m_accounts, user->subject, &Account::subject);
    if (account == m_accounts.end()) {
        m_accounts.push_back({user->subject,
                              user->email,
                              "usr_" + http::randomHex(6),
                              "room-" + http::randomHex(6),
                              {},
                              {}});
        account = std::prev(m_accounts.end());
    }
    if (account->apiKey.isEmpty() || body->value("force_new_key").toBool()) {
        if (!account->apiKey.isEmpty()) {
            account->revokedKeys.append(account->apiKey);
        }
        account->apiKey = "kv_" + http::randomHex(16);
    }
    QJsonObject answer{{"user_id", account->userId}, {"personal_room", account->personalRoom}};
    if (!m_faults.omitApiKey) {
        answer.insert("api_key", account->apiKey);
    }
    return http::json(answer);
}

const RelayStandIn::Account* RelayStandIn::accountForBearer(const QByteArray& authorization) const {
    if (!authorization.startsWith("Bearer ")) {
        return nullptr;
    }
    const QString key = QString::fromUtf8(authorization.mid(7));
    const auto account = std::ranges::find(m_accounts, key, &Account::apiKey);
    return key.isEmpty() || account == m_accounts.end() ? nullptr : &*account;
}

QString RelayStandIn::roomForBearer(const QByteArray& authorization) const {
    const Account* account = accountForBearer(authorization);
    return account ? account->personalRoom : QString();
}

QHttpServerResponse RelayStandIn::registerOwned(const QHttpServerRequest& request) {
    const auto body = http::jsonObject(request.body());
    const Account* account = accountForBearer(request.value("Authorization"));
    m_ownedRequests.append(QJsonObject{
        {"body", body ? QJsonValue(*body) : QJsonValue(QString::fromUtf8(request.body()))},
        {"authorized", account != nullptr}});
    if (!account) {
        return http::error(http::Status::Unauthorized, "invalid api key");
    }
    if (!body) {
        return http::error(http::Status::BadRequest, "request body must be a JSON object");
    }
    const QString kind = body->value("kind").toString();
    if (const auto fault = m_faults.owned.constFind(kind); fault != m_faults.owned.cend()) {
        return http::raw(fault->status, fault->body);
    }
    const QString fingerprint = body->value("host_fingerprint").toString();
    if (kind.isEmpty() || fingerprint.isEmpty()) {
        return http::error(http::Status::BadRequest, "kind and host_fingerprint are required");
    }
    const QJsonValue cli = body->value("detected_cli");
    if (!hasType(*body, "machine_name", QJsonValue::String) ||
        !hasType(*body, "display_name", QJsonValue::String) ||
        !(cli.isUndefined() || cli.isNull() || cli.isString())) {
        return http::error(http::Status::BadRequest,
                           "machine_name, display_name and detected_cli must be strings");
    }
    auto agent = std::ranges::find_if(m_agents, [&](const Agent& candidate) {
        return candidate.userId == account->userId && candidate.kind == kind &&
               candidate.hostFingerprint == fingerprint;
    });
    const bool created = agent == m_agents.end();
    if (created) {
        m_agents.push_back({account->userId,
                            "agt_" + http::randomHex(5),
                            kind,
                            {},
                            {},
                            fingerprint,
                            QJsonValue::Null});
        agent = std::prev(m_agents.end());
    }
    agent->displayName = body->value("display_name").toString();
    agent->machineName = body->value("machine_name").toString();
    agent->detectedCli = cli.isString() ? cli : QJsonValue(QJsonValue::Null);
    return http::json({{"created", created}, {"agent", agent->toJson()}});
}

QJsonObject RelayStandIn::Agent::toJson() const {
    return {{"handle", handle},
            {"kind", kind},
            {"display_name", displayName},
            {"machine_name", machineName},
            {"host_fingerprint", hostFingerprint},
            {"detected_cli", detectedCli}};
}

QJsonObject RelayStandIn::state() const {
    QJsonArray accounts;
    for (const Account& account : m_accounts) {
        accounts.append(
            QJsonObject{{"user_id", account.userId},
                        {"email", account.email},
                        {"personal_room", account.personalRoom},
                        {"api_key", account.apiKey},
                        {"revoked_keys", QJsonArray::fromStringList(account.revokedKeys)}});
    }
    QJsonArray agents;
    for (const Agent& agent : m_agents) {
        QJsonObject json = agent.toJson();
        json.insert("user_id", agent.userId);
        agents.append(json);
    }
    return {{"accounts", accounts},
            {"agents", agents},
            {"auth_requests", m_authRequests},
            {"owned_requests", m_ownedRequests}};
}
