#include "Faults.h"

#include <QHttpServerResponder>
#include <QMetaEnum>

namespace {

std::expected<Faults::Answer, QString> answerFrom(const QJsonValue& value, const QString& name) {
    const QJsonObject object = value.toObject();
    const int status = object.value("status").toInt(-1);
    // Qt's server can only write status lines it knows.
    const auto codes = QMetaEnum::fromType<QHttpServerResponder::StatusCode>();
    if (!value.isObject() || codes.valueToKey(status) == nullptr) {
        return std::unexpected(name + QStringLiteral(" needs a known HTTP \"status\""));
    }
    return Faults::Answer{status, object.value("body").toString()};
}

} // namespace

std::expected<Faults, QString> Faults::fromJson(const QJsonObject& json) {
    Faults faults;
    if (json.contains("relay_auth")) {
        const auto answer = answerFrom(json.value("relay_auth"), "relay_auth");
        if (!answer) {
            return std::unexpected(answer.error());
        }
        faults.relayAuth = *answer;
    }
    faults.omitApiKey = json.value("omit_api_key").toBool();
    const QJsonObject owned = json.value("owned").toObject();
    for (auto it = owned.begin(); it != owned.end(); ++it) {
        const auto answer = answerFrom(it.value(), "owned." + it.key());
        if (!answer) {
            return std::unexpected(answer.error());
        }
        faults.owned.insert(it.key(), *answer);
    }
    if (json.contains("delay_ms")) {
        const int delay = json.value("delay_ms").toInt(-1);
        if (delay < 0) {
            return std::unexpected(QStringLiteral("delay_ms needs a non-negative integer"));
        }
        faults.delayMs = delay;
    }
    return faults;
}
