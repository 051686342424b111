#include "gate/GateConfig.h"

#include "platform/AppPaths.h"
#include "platform/RegularFile.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace GateConfig {

namespace {
// A real config is a few hundred bytes; anything far larger is not one, and reading it on
// every redraw of a window would stall the program.
constexpr qint64 maxConfigBytes = qint64{1024} * 1024;
} // namespace

QByteArray build(const QString& supportDir, const QString& apiKey,
                 const std::optional<QString>& room, const GateSetup& setup) {
    const QString roomValue = room && !room->isEmpty() ? *room : QString::fromLatin1(defaultRoom);
    const QJsonObject confirmations{
        {QStringLiteral("port"), setup.port},
        {QStringLiteral("host"), QString::fromLatin1(listenHost)},
        {QStringLiteral("room"), roomValue},
        {QStringLiteral("wake_script"), QStringLiteral("/usr/bin/true")},
        {QStringLiteral("secret_path"), setup.secretPath},
    };
    const QJsonObject config{
        {QStringLiteral("queue"),
         QJsonObject{
             {QStringLiteral("path"), AppPaths::join(supportDir, QStringLiteral("queue.jsonl"))}}},
        {QStringLiteral("receipts"),
         QJsonObject{{QStringLiteral("path"),
                      AppPaths::join(supportDir, QStringLiteral("receipts.jsonl"))}}},
        {QStringLiteral("poller"), QJsonObject{{QStringLiteral("api_key"), apiKey}}},
        {QStringLiteral("mcp"), QJsonObject{{QStringLiteral("confirmations"), confirmations}}},
        {QStringLiteral("hooks"), QJsonObject{{QStringLiteral("wait_s"), setup.hookWaitSeconds}}},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Indented);
}

int hookWaitSeconds(const std::optional<QString>& stored) {
    bool isNumber = false;
    const int seconds = stored ? stored->trimmed().toInt(&isNumber) : 0;
    return isNumber ? std::clamp(seconds, 1, maxHookWaitSeconds) : defaultHookWaitSeconds;
}

std::optional<QString> pollerApiKey(const QByteArray& json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject()) {
        return std::nullopt;
    }
    const QJsonValue poller = document.object().value(QStringLiteral("poller"));
    const QJsonValue key = poller.toObject().value(QStringLiteral("api_key"));
    if (!poller.isObject() || !key.isString() || key.toString().isEmpty()) {
        return std::nullopt;
    }
    return key.toString();
}

std::optional<QString> readPollerApiKey(const QString& path) {
    const auto contents = RegularFile::read(path, maxConfigBytes);
    return contents ? pollerApiKey(*contents) : std::nullopt;
}

} // namespace GateConfig
