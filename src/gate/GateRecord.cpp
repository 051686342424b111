#include "gate/GateRecord.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace GateRecord {

QByteArray write(const Entry& entry) {
    return QJsonDocument(
               QJsonObject{
                   {QStringLiteral("pid"), entry.identity.pid},
                   {QStringLiteral("start_time"), QString::number(entry.identity.startTime)},
                   {QStringLiteral("config"), entry.configPath},
               })
        .toJson(QJsonDocument::Compact);
}

std::optional<Entry> read(const QByteArray& json) {
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    const qint64 pid = object.value(QStringLiteral("pid")).toInteger();
    bool numeric = false;
    const quint64 startTime =
        object.value(QStringLiteral("start_time")).toString().toULongLong(&numeric);
    const QString config = object.value(QStringLiteral("config")).toString();
    if (pid <= 0 || !numeric || config.isEmpty()) {
        return std::nullopt;
    }
    return Entry{.identity = {.pid = pid, .startTime = startTime}, .configPath = config};
}

} // namespace GateRecord
