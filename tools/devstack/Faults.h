#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>

#include <expected>
#include <optional>

// Failures a test or developer injects through POST /devstack/faults.
struct Faults {
    struct Answer {
        int status = 500;
        QString body;
    };

    std::optional<Answer> relayAuth; // every relay sign-in gets this answer
    bool omitApiKey = false;         // sign-in succeeds but the answer lacks "api_key"
    QHash<QString, Answer> owned;    // agent registration answer, by agent kind
    std::optional<int> delayMs;      // replaces --delay-ms while set

    static std::expected<Faults, QString> fromJson(const QJsonObject& json);
};
