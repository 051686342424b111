#include "account/RelayMessages.h"

#include "account/UserText.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace RelayMessages {

namespace {

void insertIfNotEmpty(QJsonObject& object, const QString& key,
                      const std::optional<QString>& value) {
    if (value && !value->isEmpty()) {
        object.insert(key, *value);
    }
}

std::expected<QJsonObject, RelayError> successBody(const HttpExchange::Answer& answer) {
    if (answer.status < 200 || answer.status > 299) {
        return std::unexpected(
            RelayError::badStatus(answer.status, UserText::fromUtf8OrEmpty(answer.body)));
    }
    return QJsonDocument::fromJson(answer.body).object();
}

QString stringMember(const QJsonObject& object, QStringView key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

} // namespace

QByteArray authBody(const QString& idToken, bool forceNewKey,
                    const std::optional<QString>& deviceId,
                    const std::optional<QString>& deviceName) {
    QJsonObject body{{QStringLiteral("google_id_token"), idToken}};
    if (forceNewKey) {
        body.insert(QStringLiteral("force_new_key"), true);
    }
    insertIfNotEmpty(body, QStringLiteral("device_id"), deviceId);
    insertIfNotEmpty(body, QStringLiteral("device_name"), deviceName);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray ownedAgentBody(const OwnedAgentRequest& request) {
    QJsonObject body{
        {QStringLiteral("kind"), request.kind},
        {QStringLiteral("machine_name"), request.machineName},
        {QStringLiteral("host_fingerprint"), request.hostFingerprint},
        {QStringLiteral("display_name"), request.displayName},
    };
    insertIfNotEmpty(body, QStringLiteral("detected_cli"), request.detectedCli);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

std::expected<RelayAuth, RelayError> relayAuth(const HttpExchange::Answer& answer) {
    const auto object = successBody(answer);
    if (!object) {
        return std::unexpected(object.error());
    }
    const QString room = stringMember(*object, u"personal_room");
    return RelayAuth{stringMember(*object, u"api_key"), stringMember(*object, u"user_id"),
                     room.isEmpty() ? std::nullopt : std::optional(room)};
}

std::expected<OwnedAgentResult, RelayError> ownedAgent(const HttpExchange::Answer& answer) {
    const auto object = successBody(answer);
    if (!object) {
        return std::unexpected(object.error());
    }
    const QJsonValue created = object->value(u"created");
    return OwnedAgentResult{stringMember(object->value(u"agent").toObject(), u"handle"),
                            created.isBool() && created.toBool()};
}

} // namespace RelayMessages
