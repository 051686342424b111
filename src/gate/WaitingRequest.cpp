#include "gate/WaitingRequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace WaitingRequests {

namespace {

std::optional<WaitingRequest> requestOf(const QJsonObject& object) {
    WaitingRequest request;
    request.id = object.value(QStringLiteral("id")).toString();
    request.title = object.value(QStringLiteral("title")).toString();
    if (request.id.isEmpty() || request.title.isEmpty()) {
        return std::nullopt;
    }
    request.agent = object.value(QStringLiteral("agent")).toString();
    request.detail = object.value(QStringLiteral("detail")).toString();
    request.cwd = object.value(QStringLiteral("cwd")).toString();
    request.origin = object.value(QStringLiteral("origin")).toString() == u"hook"
                         ? WaitingRequest::Origin::Hook
                         : WaitingRequest::Origin::Tool;
    request.callerWaiting = object.value(QStringLiteral("caller")).toString() != u"gone";
    request.sessionOffer = object.value(QStringLiteral("session_offer")).toBool();
    request.expiresAt = QDateTime::fromString(object.value(QStringLiteral("expires_at")).toString(),
                                              Qt::ISODateWithMs);
    return request;
}

} // namespace

std::optional<QList<WaitingRequest>> parse(const QByteArray& json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonValue intents = document.object().value(QStringLiteral("intents"));
    if (!document.isObject() || !intents.isArray()) {
        return std::nullopt;
    }
    QList<WaitingRequest> requests;
    for (const auto& entry : intents.toArray()) {
        if (auto request = requestOf(entry.toObject())) {
            requests << *request;
        }
    }
    return requests;
}

std::optional<QList<WaitingRequest>> apply(const QList<WaitingRequest>& list,
                                           const QByteArray& json) {
    const QJsonObject event = QJsonDocument::fromJson(json).object();
    if (event.contains(QStringLiteral("intents"))) {
        return parse(json);
    }
    const QString id = event.value(QStringLiteral("id")).toString();
    const auto added = requestOf(event.value(QStringLiteral("intent")).toObject());
    if (!added && id.isEmpty()) {
        return std::nullopt;
    }
    const QString gone = added ? added->id : id;
    QList<WaitingRequest> changed = list;
    changed.removeIf([&gone](const WaitingRequest& r) { return r.id == gone; });
    if (added) {
        changed << *added;
    }
    return changed;
}

QString statusOf(Decision decision) {
    switch (decision) {
    case Decision::Approve:
        return QStringLiteral("approved");
    case Decision::Deny:
        return QStringLiteral("denied");
    case Decision::AllowForSession:
        return QStringLiteral("approved_for_session");
    }
    return {};
}

} // namespace WaitingRequests
